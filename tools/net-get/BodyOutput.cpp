#include "BodyOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Writes all of `size` bytes to `fd`; false on an error.
bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

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
}

bool BodyOutput::Write(const unsigned char* data, std::size_t size) {
    if (error_ == 0 && Open() && !WriteAll(fd_, data, size)) {
        error_ = errno != 0 ? errno : EIO;
    }
    return error_ == 0;
}

bool BodyOutput::Finish() {
    if (error_ == 0) {
        Open();
    }
    if (fd_ >= 0 && fd_ != STDOUT_FILENO && ::close(fd_) != 0 && error_ == 0) {
        error_ = errno;
    }
    fd_ = -1;
    if (std::lock_guard<std::mutex> lock(naming_); abandoned_ && error_ == 0) {
        error_ = EINTR;
    } else if (error_ == 0 && !temporary_.empty()) {
        // rename() replaces the name itself: a link put there meanwhile is
        // replaced, never followed.
        if (::rename(temporary_.c_str(), path_->c_str()) != 0) {
            error_ = errno;
        } else {
            temporary_.clear();
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
    if (opened_ || error_ != 0 || !path_ || ::lstat(path_->c_str(), &status) != 0) {
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
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
    done_ = true;
}

void BodyOutput::Abandon() {
    std::lock_guard<std::mutex> lock(naming_);
    abandoned_ = true;
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
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
           std::strerror(error_);
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
    struct stat status {};
    if (::lstat(path_->c_str(), &status) == 0) {
        if (S_ISLNK(status.st_mode)) {
            return OpenExisting(true);
        }
        if (!S_ISREG(status.st_mode)) {
            return OpenExisting(false);
        }
    } else if (errno != ENOENT) {
        error_ = errno;
        return false;
    }
    // A new file beside the target, made by this run alone, with the mode an
    // existing target has (without set-id bits) or the usual one.
    const auto [folder, name] = SplitPath(*path_);
    std::string pattern = folder + "/." + name + ".net-get-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    {
        std::lock_guard<std::mutex> lock(naming_);
        fd_ = abandoned_ ? -1 : ::mkostemp(buffer.data(), O_CLOEXEC);
        if (fd_ < 0) {
            error_ = abandoned_ ? EINTR : errno;
            return false;
        }
        temporary_ = buffer.data();
    }
    mode_t mode = S_ISREG(status.st_mode) ? (status.st_mode & 0777) : 0666;
    if (!S_ISREG(status.st_mode)) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode &= ~mask;
    }
    if (::fchmod(fd_, mode) != 0) {
        error_ = errno;
        return false;
    }
    opened_ = true;
    return true;
}

bool BodyOutput::OpenExisting(bool link) {
    // Written where it is, from its start, without truncating or making anything.
    fd_ = ::open(path_->c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | (link ? 0 : O_NOFOLLOW));
    if (fd_ < 0) {
        error_ = errno;
        return false;
    }
    struct stat status {};
    if (::fstat(fd_, &status) != 0) {
        error_ = errno;
    } else if (S_ISREG(status.st_mode)) {
        // Only a link leads here to a regular file: not written through.
        error_ = ELOOP;
    } else if (S_ISBLK(status.st_mode) || S_ISDIR(status.st_mode)) {
        error_ = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    }
    if (error_ != 0) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    opened_ = true;
    return true;
}
