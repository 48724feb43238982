#include "interprocess/SessionUser.h"

#include <sys/stat.h>
#include <systemd/sd-login.h>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace interprocess {

namespace {

std::mutex sourceMutex;
SessionUser::Source& source() {
    static SessionUser::Source value;
    return value;
}

struct FreeText {
    void operator()(char* text) const { std::free(text); }
};

}  // namespace

uid_t SessionUser::current() {
    Source current;
    {
        std::lock_guard lock(sourceMutex);
        current = source();
    }
    return current ? current() : fromSystem();
}

void SessionUser::setSource(Source given) {
    std::lock_guard lock(sourceMutex);
    source() = std::move(given);
}

uid_t SessionUser::fromSystem() {
    static const Answers system = systemAnswers();
    return fromSystem(system);
}

uid_t SessionUser::fromSystem(const Answers& answers) {
    if (const auto active = answers.activeSession()) {
        if (answers.sessionClass(active->first) == std::optional<std::string>("user")) {
            return active->second;
        }
    }
    return answers.consoleOwner().value_or(0);
}

SessionUser::Answers SessionUser::systemAnswers() {
    Answers answers;
    answers.activeSession = []() -> std::optional<std::pair<std::string, uid_t>> {
        char* session = nullptr;
        uid_t user = 0;
        if (sd_seat_get_active("seat0", &session, &user) < 0 || session == nullptr) {
            return std::nullopt;
        }
        const std::unique_ptr<char, FreeText> held(session);
        return std::make_pair(std::string(session), user);
    };
    answers.sessionClass = [](const std::string& session) -> std::optional<std::string> {
        char* kind = nullptr;
        if (sd_session_get_class(session.c_str(), &kind) < 0 || kind == nullptr) {
            return std::nullopt;
        }
        const std::unique_ptr<char, FreeText> held(kind);
        return std::string(kind);
    };
    answers.consoleOwner = []() -> std::optional<uid_t> {
        struct stat console {};
        if (::stat("/dev/console", &console) != 0) {
            return std::nullopt;
        }
        return console.st_uid;
    };
    return answers;
}

}  // namespace interprocess
