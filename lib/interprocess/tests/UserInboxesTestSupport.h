#pragma once

// What the tests of a root link's inboxes share: the fixture, whose root link
// "Test" reads the inboxes of other users.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DataLinkTestSupport.h"
#include "SessionOf.h"
#include "common/utils/RandomString.h"
#include "interprocess/DataLinkRecord.h"
#include "interprocess/UserInboxes.h"

namespace userinboxestest {

using namespace datalinktest;
using interprocess::SharedRecordQueue;
using interprocess::UserInboxes;

inline constexpr uid_t kOtherUser = 65533;

inline std::string randomPart() {
    return common::randomString(UserInboxes::kRandomSize, common::kAlphanumericAlphabet);
}

// A root link "Test" reads the inboxes of other users; nobody owns the session.
class UserInboxesTest : public DataLinkTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the other users need a root test";
        own = link("Test");
        ASSERT_TRUE(own->init(kCount, kSize));
    }
    std::size_t inboxesOf(uid_t user) {
        return SharedRecordQueue::namesStartingWith(UserInboxes::prefixFor(queue, user)).size();
    }
    // Nobody leaves `count` empty files of other names in the folder: more than the kernel
    // keeps reports of.
    void leaveEntries(int count) {
        NobodyChild leaver([&] {
            for (int i = 0; i < count; ++i) {
                const std::string path = std::string(SharedRecordQueue::kDirectory) + "/" +
                                          names.prefix() + "_left-" + std::to_string(i);
                const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
                if (fd < 0 || ::close(fd) != 0) {
                    return false;
                }
            }
            return true;
        });
        ASSERT_TRUE(leaver.succeeded());
    }
    // User `user`'s inboxes, made and held by a child process as that user, with a record in
    // each.
    std::unique_ptr<NobodyChild> holdInboxes(uid_t user, std::size_t count) {
        return std::make_unique<NobodyChild>([this, count] {
            static std::vector<std::unique_ptr<SharedRecordQueue>> held;
            const auto record = interprocess::DataLinkRecord{"AttendedUi", "Test", false, 1,
                                                             false, false, bytes("held")}
                                    .encode();
            for (std::size_t i = 0; i < count; ++i) {
                std::string name, error;
                auto inbox = UserInboxes::make(queue, 4, 256, name, error);
                if (!inbox ||
                    inbox->push(record.data(), record.size()) != SharedRecordQueue::Status::Ok) {
                    return false;
                }
                held.push_back(std::move(inbox));
            }
            return true;
        }, user);
    }
    // Records of users other than the session's, refused and logged.
    int refused() const {
        return lines->countContaining(common::loglevel::warn, "Refusing a message as 'AttendedUi'");
    }
    // The inboxes this process holds open (of those whose names contain `part`).
    std::size_t inboxesHeld(const std::string& part = "~") const {
        std::size_t held = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            const auto target = std::filesystem::read_symlink(entry.path(), error).string();
            held += target.find(queue + "~") != std::string::npos &&
                            target.find(part) != std::string::npos
                        ? 1
                        : 0;
        }
        return held;
    }

    const interprocesstest::SessionOf session{NobodyChild::kUid};
    const std::string queue = names.queue("Test");
    std::unique_ptr<IDataLink> own;
};

}  // namespace userinboxestest
