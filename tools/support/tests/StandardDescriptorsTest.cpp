#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "StandardDescriptors.h"
#include "support/ChildProcess.h"

namespace {

// A standard descriptor closed at the start is held: the next file opened
// takes another number, and using the held one fails as on a closed one
// (EBADF). One that is open stays as it was.
TEST(StandardDescriptorsTest, AClosedOneIsHeldSoThatUsingItStillFails) {
    const std::vector<std::vector<int>> closedSets{{}, {0}, {1}, {2}, {0, 1, 2}, {1, 2}};
    for (const auto& closed : closedSets) {
        SCOPED_TRACE(testing::PrintToString(closed));
        // The child's status names the step that failed: 0 when none did.
        const auto result = testsupport::runInChild([&closed] {
            struct stat before[3]{};
            for (int fd = 0; fd <= 2; ++fd) {
                ::fstat(fd, &before[fd]);
            }
            for (const int fd : closed) {
                ::close(fd);
            }
            if (std::string error; !toolsupport::HoldStandardDescriptors(error)) {
                return 20;
            }
            const int file = ::open("/dev/zero", O_RDONLY);
            if (file <= 2) {
                return 30;  // a file of the program's own took a standard number
            }
            char byte = 'x';
            for (int fd = 0; fd <= 2; ++fd) {
                struct stat now {};
                const bool wasClosed = std::find(closed.begin(), closed.end(), fd) != closed.end();
                if (::fstat(fd, &now) != 0) {
                    return 40 + fd;  // not held
                }
                if (!wasClosed &&
                    (now.st_dev != before[fd].st_dev || now.st_ino != before[fd].st_ino)) {
                    return 50 + fd;  // an open one was changed
                }
                if (wasClosed && ((fd == 0 ? ::read(fd, &byte, 1) : ::write(fd, &byte, 1)) != -1 ||
                                  errno != EBADF)) {
                    return 60 + fd;  // the held one could be used
                }
            }
            return 0;
        });
        EXPECT_TRUE(result.exited) << "signal " << result.signal;
        EXPECT_EQ(0, result.exitCode);
    }
}

}  // namespace
