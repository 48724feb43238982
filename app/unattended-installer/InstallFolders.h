#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <boost/filesystem/path.hpp>

// The file-system steps of the privileged install. They run as root in
// folders that others may have touched: none of them follows a symbolic
// link, and what they check is what they use.
namespace quorvane::unattended {

// Makes sure every element of the absolute `folder` is a real folder, not a
// link, that belongs to root and that nobody else may write to, creating
// what is missing (root's, 0755). False, with the folder and the reason in
// `problem`, when one cannot be made or is something else: once every
// element is root's alone, nobody else can change what the path names.
bool makeFolderChain(const boost::filesystem::path& folder, std::string& problem);

// Makes a new folder private to its owner (0700) in `parent`, named
// `prefix` and kPrivateSuffixLength random letters and digits; empty when
// none could be made.
boost::filesystem::path makePrivateFolder(const boost::filesystem::path& parent,
                                          const std::string& prefix);
inline constexpr std::size_t kPrivateSuffixLength = 10;

// Whether `text` could be the random part that makePrivateFolder puts after
// its prefix: exactly kPrivateSuffixLength letters and digits.
bool isPrivateSuffix(const std::string& text);

// Opens the package for reading, without following a link, once: it must be
// a regular file with one name, owned by root or by `user`, that nobody else
// may write. Returns the descriptor (close-on-exec), or -1 with `reason`.
int openPackage(const std::string& path, uid_t user, std::string& reason);

// Reads the file `name` in `folder` without following a link at either,
// without blocking, as a regular file of at most `limit` bytes. Empty when
// there is no such file; `tooLarge`, when given, tells whether it was a
// regular file over the limit.
std::optional<std::string> readPlainFile(const boost::filesystem::path& folder, const char* name,
                                         std::size_t limit, bool* tooLarge = nullptr);

// An install's parameter file, the most that is read of it, and the key of
// the device token carried over from one install to the next.
inline constexpr const char* kParameterFile = "unattended.json";
inline constexpr std::size_t kLargestParameterFile = 1 << 20;
inline constexpr const char* kDeviceToken = "DeviceToken";

// The text of the parameter file "unattended.json" in `folder` (an earlier
// install, or an unpacked package), read as readPlainFile does within
// kLargestParameterFile; none when there is no such file or it is empty.
std::optional<std::string> readParameterFile(const boost::filesystem::path& folder);

// Why the parameter file "unattended.json" in `folder` cannot be an
// install's: it is larger than kLargestParameterFile, it is not one JSON
// object (ParameterFileText), or it names "DeviceToken" more than once.
// Empty when it can, and when there is none to read (no regular file at
// that name, or an empty one).
std::string parameterFileProblem(const boost::filesystem::path& folder);

// Writes `content` into the new file `path` (never through a link or into a
// file that was there), with `mode`, and flushes it to the disk; false when
// any step fails.
bool writeNewFile(const boost::filesystem::path& path, const std::string& content, mode_t mode);

// Whether `path` is a folder and not a link.
bool isRealFolder(const boost::filesystem::path& path);

// Takes every write right of group and others and every set-id bit off
// what lies in `folder` and the folder itself, links left as they are and
// never followed. False when one could not be changed.
bool restrictModes(const boost::filesystem::path& folder);

// The number of entries below `folder` and the bytes of its files, links
// not followed.
struct TreeSize {
    std::uint64_t entries = 0;
    std::uint64_t bytes = 0;
};
TreeSize measureTree(const boost::filesystem::path& folder);

}  // namespace quorvane::unattended
