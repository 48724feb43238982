#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "common/utils/TargetEntry.h"
#include "support/ChildProcess.h"
#include "support/FifoDrain.h"
#include "support/TempDir.h"

namespace {

// What a download writes where it is is opened as the entry that was looked at, or refused: a
// FIFO or link put at the name in between (by whoever may write the folder) is not written,
// whatever it is, and a regular file put there is neither written nor truncated. A link to a
// regular file is refused as it is looked at.
TEST(TargetEntryTest, WhatIsWrittenWhereItIsIsWhatWasLookedAt) {
    testsupport::TempDir folder;
    const std::string out = folder.file("out"), other = folder.file("other");
    const auto fifo = [](const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; };
    const auto toNull = [](const std::string& path) {
        return ::symlink("/dev/null", path.c_str()) == 0;
    };
    const auto file = [](const std::string& path) { return bool(std::ofstream(path) << "kept"); };
    const auto moved = [&](const std::function<bool(const std::string&)>& make) {
        return [&, make] { return make(other) && std::rename(other.c_str(), out.c_str()) == 0; };
    };
    const auto none = [] { return true; };
    const struct {
        const char* what;
        std::function<bool(const std::string&)> before;
        std::function<bool()> between;  // after the look, before the open
        std::string refusal;            // empty: opened
    } cases[] = {
        {"a FIFO", fifo, none, ""},
        {"a FIFO, another in its place", fifo, moved(fifo),
         "it was replaced while it was being opened"},
        {"a FIFO, a link in its place", fifo, moved(toNull),
         "it was replaced while it was being opened"},
        {"a FIFO, a file in its place", fifo, moved(file),
         "it was replaced while it was being opened"},
        {"a link to /dev/null", toNull, none, ""},
        {"a link to /dev/null, another in its place", toNull, moved(toNull),
         "it was replaced while it was being opened"},
        {"a link to a file",
         [&](const std::string& path) {
             return file(other) && ::symlink(other.c_str(), path.c_str()) == 0;
         },
         none, "a link to a regular file is refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(out.c_str());
        std::remove(other.c_str());
        ASSERT_TRUE(c.before(out));
        const int place = ::open(folder.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(place, 0);
        auto entry = common::TargetEntry::look(place, "out");
        int fd = -1;
        std::unique_ptr<testsupport::FifoDrain> reader;
        if (entry.kind() == common::TargetEntry::Kind::inPlace) {
            ASSERT_TRUE(c.between());
            // A reader, so that a FIFO opens at once.
            struct stat status {};
            if (::stat(out.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)) {
                reader = std::make_unique<testsupport::FifoDrain>(out);
            }
            fd = entry.openInPlace(place, "out", false);
        }
        EXPECT_EQ(c.refusal.empty(), fd >= 0);
        EXPECT_EQ(c.refusal, c.refusal.empty() ? "" : entry.reason());
        EXPECT_EQ(!c.refusal.empty(), entry.kind() == common::TargetEntry::Kind::refused);
        if (fd >= 0) {
            ::close(fd);
        }
        reader.reset();
        ::close(place);
        struct stat status {};
        if (::lstat(out.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            EXPECT_EQ("kept", testsupport::readFile(out));
        }
    }
}

}  // namespace
