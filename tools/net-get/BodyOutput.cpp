#include "BodyOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/utils/RandomString.h"
#include "common/utils/TargetEntry.h"
#include "common/utils/WriteAll.h"

namespace {

// The part of the target's name kept in the temporary file's name, so that
// the whole stays within the system's bound of 255 bytes.
constexpr std::size_t kNameKept = 200;
constexpr int kNamingAttempts = 16;

// The folder part of `path` ("." for a bare name) and its last part.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

BodyOutput::BodyOutput(std::optional<std::string> path) : path_(std::move(path)) {}

BodyOutput::~BodyOutput() {
    if (!done_) {
        Discard();
    }
    if (folder_ >= 0) {
        ::close(folder_);
    }
}

void BodyOutput::Fail(int error, std::string reason) {
    if (error_ == 0) {
        error_ = error != 0 ? error : EIO;
        reason_ = std::move(reason);
    }
}

bool BodyOutput::Check() {
    if (!path_ || error_ != 0 || !OpenFolder()) {
        return error_ == 0;
    }
    const auto entry = common::TargetEntry::look(folder_, name_);
    if (entry.kind() == common::TargetEntry::Kind::refused) {
        Fail(entry.error(), entry.reason());
        return false;
    }
    return true;
}

bool BodyOutput::Write(const unsigned char* data, std::size_t size) {
    if (error_ == 0 && Open()) {
        if (const int error = common::writeAll(fd_, data, size); error != 0) {
            Fail(error);
        }
    }
    return error_ == 0;
}

bool BodyOutput::Finish() {
    if (error_ == 0) {
        Open();
    }
    {
        std::lock_guard<std::mutex> lock(naming_);
        if (abandoned_) {
            Fail(EINTR);
        }
        // Widened (or narrowed) to its mode only now that it is whole.
        if (error_ == 0 && !temporary_.empty() && ::fchmod(fd_, mode_) != 0) {
            Fail(errno);
        }
        if (fd_ >= 0 && fd_ != STDOUT_FILENO && ::close(fd_) != 0) {
            Fail(errno);
        }
        fd_ = -1;
        // renameat() replaces the name itself: a link put there meanwhile is
        // replaced, never followed.
        if (error_ == 0 && !temporary_.empty()) {
            if (::renameat(folder_, temporary_.c_str(), folder_, name_.c_str()) != 0) {
                Fail(errno);
            } else {
                temporary_.clear();
            }
        }
    }
    if (error_ != 0) {
        Discard();
        return false;
    }
    done_ = true;
    return true;
}

bool BodyOutput::FinishWithoutBody() {
    struct stat status {};
    if (opened_ || error_ != 0 || !path_ || !OpenFolder() ||
        ::fstatat(folder_, name_.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return Finish();
    }
    done_ = true;
    return true;
}

void BodyOutput::Discard() {
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) {
        ::close(fd_);
    }
    fd_ = -1;
    std::lock_guard<std::mutex> lock(naming_);
    if (!temporary_.empty()) {
        ::unlinkat(folder_, temporary_.c_str(), 0);
        temporary_.clear();
    }
    done_ = true;
}

void BodyOutput::Abandon() {
    std::lock_guard<std::mutex> lock(naming_);
    abandoned_ = true;
    if (!temporary_.empty()) {
        ::unlinkat(folder_, temporary_.c_str(), 0);
        temporary_.clear();
    }
}

bool BodyOutput::FollowedByAReader() const {
    struct stat status {};
    const int result = path_ ? ::stat(path_->c_str(), &status) : ::fstat(STDOUT_FILENO, &status);
    return result == 0 && !S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode);
}

std::string BodyOutput::Problem() const {
    return (path_ && !opened_ ? *path_ : std::string("writing the body failed")) + ": " +
           (reason_.empty() ? std::string(std::strerror(error_)) : reason_);
}

bool BodyOutput::OpenFolder() {
    if (folder_ >= 0) {
        return true;
    }
    const auto [folder, name] = SplitPath(*path_);
    name_ = name;
    if (name_.empty() || name_ == "." || name_ == "..") {
        Fail(path_->empty() ? ENOENT : EISDIR);
        return false;
    }
    folder_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0) {
        Fail(errno);
        return false;
    }
    return true;
}

bool BodyOutput::Open() {
    if (opened_ || error_ != 0 || done_) {
        return opened_;
    }
    if (!path_) {
        fd_ = STDOUT_FILENO;
        opened_ = true;
        return true;
    }
    if (!OpenFolder()) {
        return false;
    }
    auto entry = common::TargetEntry::look(folder_, name_);
    if (entry.kind() == common::TargetEntry::Kind::inPlace) {
        // Written where it is, from its start; a FIFO's reader is waited for.
        fd_ = entry.openInPlace(folder_, name_, true);
    }
    if (entry.kind() == common::TargetEntry::Kind::refused) {
        Fail(entry.error(), entry.reason());
        return false;
    }
    if (fd_ < 0) {
        // A new file beside the target, made by this run alone.
        mode_ = entry.newFileMode();
        const std::string stem = "." + name_.substr(0, kNameKept) + ".net-get-";
        std::lock_guard<std::mutex> lock(naming_);
        for (int attempt = 0; !abandoned_ && fd_ < 0 && attempt < kNamingAttempts; ++attempt) {
            const std::string name = stem + common::randomString(10, common::kAlphanumericAlphabet);
            fd_ = ::openat(folder_, name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd_ >= 0) {
                temporary_ = name;
            } else if (errno != EEXIST) {
                break;
            }
        }
        if (fd_ < 0) {
            Fail(abandoned_ ? EINTR : errno);
            return false;
        }
    }
    opened_ = true;
    return true;
}
