#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace interprocess {

// The owner of the machine's active local session, the one user besides root
// whose processes may be the user interfaces a root process talks to: the
// user of logind's active session on seat0 (a session of class "user"), else
// the owner of the console; root when neither names a user. A greeter, a lock
// screen or any other session that is not of class "user" names nobody.
//
// Tests name the session's user through setSource, a call inside the process:
// nothing another user can change (environment, files) decides it.
class SessionUser {
public:
    using Source = std::function<uid_t()>;

    // What fromSystem asks of the system: logind and the console.
    struct Answers {
        // The active session of seat0 and its user; nothing when there is none.
        std::function<std::optional<std::pair<std::string, uid_t>>()> activeSession;
        // The class of a session ("user", "greeter", ...); nothing when unknown.
        std::function<std::optional<std::string>(const std::string& session)> sessionClass;
        // The owner of the console; nothing when it cannot be looked at.
        std::function<std::optional<uid_t>()> consoleOwner;
    };

    static uid_t current();
    // Where current() looks from now on; an empty source restores the system.
    static void setSource(Source source);
    // What logind and the console say.
    static uid_t fromSystem();
    // What `answers` say, read as fromSystem reads the system's.
    static uid_t fromSystem(const Answers& answers);
    // The system's answers: sd-login and /dev/console.
    static Answers systemAnswers();
};

}  // namespace interprocess
