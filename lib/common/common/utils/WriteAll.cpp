#include "common/utils/WriteAll.h"

#include <unistd.h>

#include <cerrno>

namespace common {

int writeAll(int fd, const void* data, std::size_t size) {
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, next, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 && errno != 0 ? errno : EIO;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

}  // namespace common
