#include "interprocess/SessionUser.h"

#include <sys/stat.h>
#include <systemd/sd-login.h>

#include <cstdlib>
#include <cstring>
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
    char* session = nullptr;
    uid_t user = 0;
    if (sd_seat_get_active("seat0", &session, &user) >= 0 && session != nullptr) {
        const std::unique_ptr<char, FreeText> held(session);
        char* kind = nullptr;
        if (sd_session_get_class(session, &kind) >= 0 && kind != nullptr) {
            const std::unique_ptr<char, FreeText> heldKind(kind);
            if (std::strcmp(kind, "user") == 0) {
                return user;
            }
        }
    }
    struct stat console {};
    if (::stat("/dev/console", &console) == 0) {
        return console.st_uid;
    }
    return 0;
}

}  // namespace interprocess
