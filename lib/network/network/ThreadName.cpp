#include "network/ThreadName.h"

#include <pthread.h>

#include <cstdio>

#include "common/logging/ILogger.h"

namespace network {

void SetCurrentThreadName(const std::string& name) {
    constexpr std::size_t kLinuxNameLimit = 15;
    const pthread_t self = pthread_self();
    pthread_setname_np(self, name.substr(0, kLinuxNameLimit).c_str());

    char id[32];
    std::snprintf(id, sizeof id, "%#lx", static_cast<unsigned long>(self));
    const std::string line = "Thread " + std::string(id) + " has the name '" + name + "'";
    common::createLogger("AsyncService")->debug("%s", line.c_str());
}

}  // namespace network
