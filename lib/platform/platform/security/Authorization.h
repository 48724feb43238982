#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace platform::security {

using OSStatus = std::int32_t;
using AuthorizationFlags = std::uint32_t;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationInvalidPointer = -60004;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInteractionNotAllowed = -60007;
inline constexpr OSStatus errAuthorizationToolExecuteFailure = -60031;

inline constexpr AuthorizationFlags kAuthorizationFlagDefaults = 0;
inline constexpr AuthorizationFlags kAuthorizationFlagInteractionAllowed = 1;
inline constexpr AuthorizationFlags kAuthorizationFlagExtendRights = 2;
inline constexpr AuthorizationFlags kAuthorizationFlagDestroyRights = 8;

// The right to run a tool as the administrator.
inline constexpr const char* kAuthorizationRightExecute = "system.privilege.admin";
inline constexpr const char* kAuthorizationEnvironmentUsername = "username";
inline constexpr const char* kAuthorizationEnvironmentPassword = "password";

struct AuthorizationItem {
    std::string name;
    std::string value;
    AuthorizationFlags flags = 0;
};
using AuthorizationItemSet = std::vector<AuthorizationItem>;

// Authorization to run tools as root. A process that already runs as root
// holds the right and runs the tool itself. Any other process obtains it
// through a launcher that authenticates the user when the tool starts:
// "pkexec", or "sudo" when the process has a terminal and no desktop session
// (no DISPLAY or WAYLAND_DISPLAY). Without a launcher the right is denied.
//
// The launcher's refusals map to statuses: pkexec's 126 (the user dismissed
// the dialog) is errAuthorizationCanceled, its 127 (not authorised) is
// errAuthorizationDenied; sudo's 1 is errAuthorizationDenied. A launcher
// reports a refusal by ending without output, so a tool that itself ends
// with such a code before writing anything reads as a refusal.
class Authorization {
public:
    // Makes an authorization object holding no rights. Destroying it frees
    // it.
    static OSStatus create(const AuthorizationItemSet& rights,
                           const AuthorizationItemSet& environment, AuthorizationFlags flags,
                           std::unique_ptr<Authorization>& authorization);

    ~Authorization();
    Authorization(const Authorization&) = delete;
    Authorization& operator=(const Authorization&) = delete;

    // Obtains the rights; only kAuthorizationRightExecute is known. Without
    // kAuthorizationFlagInteractionAllowed a process that is not root cannot
    // obtain it, since the launcher would have to ask the user.
    OSStatus copyRights(const AuthorizationItemSet& rights, const AuthorizationItemSet& environment,
                        AuthorizationFlags flags);

    // Runs `tool` with the null-terminated `arguments` (the tool's own path
    // not included) as root, without a shell. On success `*pipe` reads the
    // tool's standard output and is the caller's to close; the tool is
    // reaped when it ends. Blocks, when a launcher is used, until the tool
    // has written its first byte or the launcher has ended.
    OSStatus executeWithPrivileges(const char* tool, AuthorizationFlags options,
                                   char* const* arguments, FILE** pipe);

    // Why the last call of copyRights or executeWithPrivileges failed, in
    // words ("neither pkexec nor sudo is installed ...", "the user dismissed
    // pkexec's authentication dialog", ...); empty after a success.
    const std::string& failureReason() const { return failureReason_; }

    // What a process that is not root finds to ask for the right with.
    struct LauncherProbe {
        bool desktop = false;   // DISPLAY or WAYLAND_DISPLAY is set
        bool terminal = false;  // /dev/tty can be opened
        bool pkexec = false;    // /usr/bin/pkexec can be run
        bool sudo = false;      // /usr/bin/sudo can be run
    };
    // The launcher's argument vector to put before the tool, or an empty one
    // with the reason why there is none in `reason`: sudo where there is a
    // terminal and no desktop session, else pkexec, else sudo with a
    // terminal.
    static std::vector<std::string> chooseLauncher(const LauncherProbe& probe, std::string& reason);

    // Test hook: the launcher's argument vector to put before the tool,
    // used whether or not the process is root; an empty vector means that no
    // launcher is available. The launcher is taken to answer like pkexec.
    static void overrideLauncher(const std::vector<std::string>& prefix);
    static void resetLauncher();

private:
    enum class LauncherKind { direct, pkexec, sudo };

    Authorization() = default;

    OSStatus fail(OSStatus status, std::string reason);

    bool granted_ = false;
    std::string failureReason_;
    LauncherKind kind_ = LauncherKind::direct;
    std::vector<std::string> launcher_;
};

}  // namespace platform::security
