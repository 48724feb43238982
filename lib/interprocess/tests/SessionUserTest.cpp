#include "interprocess/SessionUser.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace {

using interprocess::SessionUser;

constexpr uid_t kUser = 1001;
constexpr uid_t kGreeter = 112;

// logind's and the console's answers, as a table row gives them; the class is
// known only for the active session.
SessionUser::Answers stubbed(std::optional<std::pair<std::string, uid_t>> active,
                             std::optional<std::string> kind, std::optional<uid_t> console) {
    SessionUser::Answers answers;
    answers.activeSession = [active] { return active; };
    answers.sessionClass = [active, kind](const std::string& session) {
        return active && session == active->first ? kind : std::nullopt;
    };
    answers.consoleOwner = [console] { return console; };
    return answers;
}

TEST(SessionUserTest, OnlyAnActiveSessionOfClassUserOrTheConsoleOwnerNamesTheSessionUser) {
    using Active = std::pair<std::string, uid_t>;
    const struct {
        const char* what;
        std::optional<Active> active;
        std::optional<std::string> kind;
        std::optional<uid_t> console;
        uid_t expected;
    } cases[] = {
        {"a user's session", Active{"c1", kUser}, "user", 0, kUser},
        {"a user's session, the console another's", Active{"c1", kUser}, "user", 1002, kUser},
        {"a greeter", Active{"c2", kGreeter}, "greeter", 0, 0},
        {"a greeter, the console a user's", Active{"c2", kGreeter}, "greeter", kUser, kUser},
        {"a lock screen", Active{"c3", kUser}, "lock-screen", std::nullopt, 0},
        {"a background session", Active{"c4", kGreeter}, "background", 0, 0},
        {"a class in another case", Active{"c5", kUser}, "User", 0, 0},
        {"a class logind does not tell", Active{"c6", kUser}, std::nullopt, 0, 0},
        {"no active session", std::nullopt, std::nullopt, kUser, kUser},
        {"nothing to ask", std::nullopt, std::nullopt, std::nullopt, 0},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(SessionUser::fromSystem(stubbed(row.active, row.kind, row.console)), row.expected)
            << row.what;
    }
}

}  // namespace
