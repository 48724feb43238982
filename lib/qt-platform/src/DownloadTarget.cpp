#include "DownloadTarget.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/utils/RandomString.h"

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

void DownloadTarget::fail(int error) {
    if (error_ == 0) {
        error_ = error != 0 ? error : EIO;
    }
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
    struct stat status {};
    if (::fstatat(folder_, name_.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            fail(errno);
            return false;
        }
        return openBeside(false, 0);
    }
    if (S_ISREG(status.st_mode)) {
        return openBeside(true, status.st_mode & 0777);
    }
    return openExisting(S_ISLNK(status.st_mode));
}

bool DownloadTarget::openExisting(bool link) {
    // Without truncating or making anything; without waiting for the reader
    // of a FIFO, which may never come.
    fd_ = ::openat(folder_, name_.c_str(),
                   O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (link ? 0 : O_NOFOLLOW));
    struct stat status {};
    if (fd_ < 0 || ::fstat(fd_, &status) != 0) {
        fail(errno);
    } else if (S_ISREG(status.st_mode)) {
        // Reached through a link, or put there since it was looked at: not
        // written through.
        fail(ELOOP);
    } else if (S_ISBLK(status.st_mode) || S_ISDIR(status.st_mode)) {
        fail(S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    } else if (const int flags = ::fcntl(fd_, F_GETFL);
               flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        fail(errno);
    }
    if (error_ != 0 && fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    return error_ == 0;
}

bool DownloadTarget::openBeside(bool replacing, unsigned mode) {
    const std::string stem = "." + name_.substr(0, kNameKept) + ".download-";
    for (int attempt = 0; fd_ < 0 && attempt < kNamingAttempts; ++attempt) {
        const std::string name = stem + common::randomString(10, common::kAlphanumericAlphabet);
        // The usual mode, less the process's mask, for a new file.
        fd_ = ::openat(folder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0666);
        if (fd_ >= 0) {
            temporary_ = name;
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0) {
        fail(errno);
        return false;
    }
    if (replacing && ::fchmod(fd_, mode) != 0) {
        fail(errno);
        discard();
        return false;
    }
    return true;
}

bool DownloadTarget::write(const char* data, std::size_t size) {
    while (error_ == 0 && size > 0) {
        const ssize_t written = ::write(fd_, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            fail(written < 0 ? errno : EIO);
            break;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return error_ == 0;
}

bool DownloadTarget::commit() {
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
    if (!temporary_.empty()) {
        ::unlinkat(folder_, temporary_.c_str(), 0);
        temporary_.clear();
    }
}
