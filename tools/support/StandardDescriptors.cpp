#include "StandardDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace toolsupport {

bool HoldStandardDescriptors(std::string& error) {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number is taken: the ones below are open by now.
        const int held = ::open("/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_NOCTTY);
        if (held != fd) {
            error = "cannot hold the closed descriptor " + std::to_string(fd) + " on /dev/null: " +
                    (held < 0 ? std::strerror(errno) : "another number was given");
            if (held >= 0) {
                ::close(held);
            }
            return false;
        }
    }
    return true;
}

}  // namespace toolsupport
