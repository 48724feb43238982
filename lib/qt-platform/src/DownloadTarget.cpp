#include "DownloadTarget.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/utils/RandomString.h"
#include "common/utils/TargetEntry.h"
#include "common/utils/WriteAll.h"

namespace {

// The part of the target's name kept in the name made beside it, so that
// the whole stays within the system's bound of 255 bytes.
constexpr std::size_t kNameKept = 200;
constexpr int kNamingAttempts = 16;

}  // namespace

DownloadTarget::DownloadTarget(std::string path) : path_(std::move(path)) {}

DownloadTarget::~DownloadTarget() {
    discard();
    if (folder_ >= 0) {
        ::close(folder_);
    }
}

void DownloadTarget::fail(int error, std::string reason) {
    if (error_ == 0) {
        error_ = error != 0 ? error : EIO;
        reason_ = std::move(reason);
    }
}

std::string DownloadTarget::problem() const {
    return reason_.empty() ? std::string(std::strerror(error_)) : reason_;
}

bool DownloadTarget::open() {
    const auto slash = path_.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
    name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    if (name_.empty() || name_ == "." || name_ == "..") {
        fail(path_.empty() ? ENOENT : EISDIR);
        return false;
    }
    folder_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0) {
        fail(errno);
        return false;
    }
    auto entry = common::TargetEntry::look(folder_, name_);
    if (entry.kind() == common::TargetEntry::Kind::inPlace) {
        // Without waiting for the reader of a FIFO, which may never come.
        fd_ = entry.openInPlace(folder_, name_, false);
    }
    if (entry.kind() == common::TargetEntry::Kind::refused) {
        fail(entry.error(), entry.reason());
        return false;
    }
    if (fd_ >= 0) {
        return true;
    }
    mode_ = entry.newFileMode();
    return openBeside();
}

bool DownloadTarget::openBeside() {
    const std::string stem = "." + name_.substr(0, kNameKept) + ".download-";
    std::lock_guard<std::mutex> lock(naming_);
    for (int attempt = 0; !abandoned_ && fd_ < 0 && attempt < kNamingAttempts; ++attempt) {
        const std::string name = stem + common::randomString(10, common::kAlphanumericAlphabet);
        // Its owner's alone while it is written: its mode is set at the end.
        fd_ = ::openat(folder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600);
        if (fd_ >= 0) {
            temporary_ = name;
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0) {
        fail(abandoned_ ? EINTR : errno);
        return false;
    }
    return true;
}

bool DownloadTarget::write(const char* data, std::size_t size) {
    if (error_ == 0) {
        if (const int error = common::writeAll(fd_, data, size); error != 0) {
            fail(error);
        }
    }
    return error_ == 0;
}

bool DownloadTarget::commit() {
    std::unique_lock<std::mutex> lock(naming_);
    if (error_ == 0 && abandoned_) {
        fail(EINTR);
    }
    if (error_ == 0 && !temporary_.empty() && ::fchmod(fd_, mode_) != 0) {
        fail(errno);
    }
    if (fd_ >= 0 && ::close(fd_) != 0) {
        fail(errno);
    }
    fd_ = -1;
    if (error_ == 0 && !temporary_.empty()) {
        // The name itself is replaced: a link put there meanwhile is
        // replaced, never followed.
        if (::renameat(folder_, temporary_.c_str(), folder_, name_.c_str()) != 0) {
            fail(errno);
        } else {
            temporary_.clear();
        }
    }
    lock.unlock();
    if (error_ != 0) {
        discard();
    }
    return error_ == 0;
}

void DownloadTarget::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    std::lock_guard<std::mutex> lock(naming_);
    if (!temporary_.empty()) {
        ::unlinkat(folder_, temporary_.c_str(), 0);
        temporary_.clear();
    }
}

void DownloadTarget::abandon() {
    std::lock_guard<std::mutex> lock(naming_);
    abandoned_ = true;
    if (!temporary_.empty()) {
        ::unlinkat(folder_, temporary_.c_str(), 0);
        temporary_.clear();
    }
}
