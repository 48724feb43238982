#include "Downloader.h"

#include "HttpQueryErrors.h"

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <boost/filesystem/operations.hpp>

#include "IQtNetworkPlugin.h"
#include "common/utils/CommandOutput.h"
#include "common/utils/StringConversions.h"

namespace common {

namespace fs = boost::filesystem;

namespace {

constexpr std::uint32_t kStatusOk = 200;
constexpr std::uint32_t kStatusNotSent = 1;

std::string describe(int error) {
    return std::strerror(error);
}

void* doNothing(void*) {
    return nullptr;
}

// Why no thread can be started now, empty when one can. Qt does a query's
// work on threads of its own, and its network access manager, made with
// the first query, may wait for ever for one that did not start; the
// process's limits (address space, processes) that refuse a thread now
// refuse Qt's too. A thread that Qt could not start once the query runs
// the query itself tells (IHttpQuery::threadRefused).
std::string threadProblem() {
    pthread_t thread{};
    const int error = ::pthread_create(&thread, nullptr, doNothing, nullptr);
    if (error != 0) {
        return "cannot start a thread: " + describe(error);
    }
    ::pthread_join(thread, nullptr);
    return {};
}

// Writes `data`, the bytes the query holds, to `file` in one pass, replacing
// an earlier file: the new one is created afresh (never through a link or
// into a file someone else made) and private to the user, written whole,
// flushed to the disk and closed, each step checked. On failure `reason`
// tells why and a file that was opened is removed again, so that no
// truncated package stays behind.
bool writeWholeFile(const fs::path& file, const std::vector<char>& data, std::string& reason) {
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
        reason = "cannot replace: " + describe(errno);
        return false;
    }
    const int fd =
        ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = "cannot open: " + describe(errno);
        return false;
    }
    bool written = true;
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            reason = "cannot write: " + describe(n < 0 ? errno : ENOSPC);
            written = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written && ::fsync(fd) != 0 && errno != EINVAL) {
        reason = "cannot flush: " + describe(errno);
        written = false;
    }
    if (::close(fd) != 0 && written) {
        reason = "cannot close: " + describe(errno);
        written = false;
    }
    if (!written) {
        boost::system::error_code ignored;
        fs::remove(file, ignored);
    }
    return written;
}

}  // namespace

std::unique_ptr<IDownloader> Downloader::create(IQtNetworkPlugin* platform,
                                                std::unique_ptr<ITaskQueue> queue,
                                                std::unique_ptr<ILogger> logger,
                                                std::chrono::milliseconds retryDelay,
                                                std::chrono::milliseconds transferTimeout) {
    return std::make_unique<Downloader>(platform, std::move(queue), std::move(logger), retryDelay,
                                        transferTimeout);
}

Downloader::Downloader(IQtNetworkPlugin* platform, std::unique_ptr<ITaskQueue> queue,
                       std::unique_ptr<ILogger> logger, std::chrono::milliseconds retryDelay,
                       std::chrono::milliseconds transferTimeout)
    : queue_(std::move(queue)),
      logger_(std::move(logger)),
      platform_(platform),
      retryDelay_(retryDelay),
      transferTimeout_(transferTimeout),
      self_(std::make_shared<bool>(true)) {}

Downloader::~Downloader() {
    // Handler tasks already queued find the token gone.
    self_.reset();
    if (queue_) {
        queue_->finish([](bool&, unsigned long) {}, true);
    }
    for (auto& [id, query] : queries_) {
        if (query) {
            query->resetHandlers();
        }
    }
    queries_.clear();
}

void Downloader::keepLargeBlocksOffTheHeap() {
    // A fixed threshold also stops its growth.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

const char* Downloader::errorName(int error) {
    return httpQueryErrorName(error);
}

void Downloader::download(const std::string& url, const fs::path& folder, DownloadCallback callback,
                          std::uint32_t tryCount) {
    if (folder.empty()) {
        logger_->warn("Could not download file, because path is empty.");
        callback(false, folder);
        return;
    }
    logger_->info("download started from: %s with UserAgent: %s", url.c_str(), kUserAgent);
    queue_->push([this, url, folder, callback = std::move(callback), tryCount](
                     bool&, unsigned long) { startAttempt(url, folder, callback, tryCount); },
                 std::chrono::milliseconds(0), 0);
}

void Downloader::startAttempt(const std::string& url, const fs::path& folder,
                              DownloadCallback callback, std::uint32_t tryCount) {
    const std::int32_t id = nextId_++;
    // What the attempt needs and cannot have now, it would not have at the
    // next either: the download fails at once, saying why, rather than after
    // every attempt has waited for its time-out.
    std::string missing = threadProblem();
    QueryHandle query;
    if (missing.empty()) {
        query = platform_ != nullptr ? platform_->createQuery() : QueryHandle();
        missing = query ? "" : "no HTTP query can be made";
    }
    if (!missing.empty()) {
        logger_->error("The download from %s cannot start: %s", url.c_str(), missing.c_str());
        onAttemptError(IHttpQuery::UnknownNetworkError, url, folder, callback, kRetries);
        return;
    }
    query->setOperation(IHttpQuery::GET);
    query->setFollowRedirects();
    query->setHeader("User-Agent", kUserAgent);
    query->setUrl(url);
    // A server that goes silent, or trickles, ends the attempt: the retries
    // then run.
    query->setTransferTimeout(static_cast<int>(transferTimeout_.count()),
                              IHttpQuery::kDefaultLowSpeedLimit);
    const std::weak_ptr<bool> self = self_;
    query->setErrorHandler(
        [this, self, id, url, folder, callback, tryCount](IHttpQuery::Error error) {
            if (self.expired()) {
                return;
            }
            // A body refused for its size comes the same way again, and a
            // thread that Qt could not start stays missing.
            const auto found = queries_.find(id);
            const IHttpQuery* query = found != queries_.end() ? found->second.get() : nullptr;
            const bool tooLarge = query != nullptr && query->bodyRefused();
            const bool noThread = query != nullptr && query->threadRefused();
            if (tooLarge) {
                logger_->error("The package from %s is larger than %lld bytes: not tried again", url.c_str(),
                               static_cast<long long>(IHttpQuery::kDefaultMaximumBodySize));
            } else if (noThread) {
                logger_->error("The download from %s cannot start: %s", url.c_str(),
                               "Qt could not start a thread for the request");
            }
            onAttemptError(error, url, folder, callback, tooLarge || noThread ? kRetries : tryCount);
        });
    query->setFinishedHandler([this, self, id, url, folder, callback](bool ok) {
        if (!self.expired()) {
            onAttemptFinished(ok, id, url, folder, callback);
        }
    });
    IHttpQuery* started = query.get();
    queries_.emplace(id, std::move(query));
    started->execute();
}

void Downloader::onAttemptError(IHttpQuery::Error error, const std::string& url,
                                const fs::path& folder, const DownloadCallback& callback,
                                std::uint32_t tryCount) {
    logger_->error("Download failed from: %s with Error Code: %s", url.c_str(),
                   errorName(static_cast<int>(error)));
    if (tryCount >= kRetries) {
        // The callback may release the downloader: nothing of it is used
        // afterwards but through the token.
        const std::weak_ptr<bool> self = self_;
        const fs::path failedFolder = folder;
        const DownloadCallback done = callback;
        done(false, fs::path());
        if (!self.expired()) {
            lastFailedFolder_ = failedFolder;
        }
        return;
    }
    logger_->error("Try to download again from: %s, try count: %d", url.c_str(),
                   static_cast<int>(tryCount));
    queue_->push([this, url, folder, callback, tryCount](
                     bool&, unsigned long) { download(url, folder, callback, tryCount + 1); },
                 retryDelay_, 0);
}

void Downloader::onAttemptFinished(bool ok, std::int32_t id, const std::string& url,
                                   const fs::path& folder, const DownloadCallback& callback) {
    // Held here until the end, so that the query (and with it this handler)
    // outlives everything below, even when the callback releases the
    // downloader.
    QueryHandle query = takeQuery(id);
    if (!ok || !query) {
        return;
    }
    logger_->info("download succeeded from: %s", url.c_str());
    const fs::path file = folder / kPackageFileName;
    std::string reason;
    const bool written = writeWholeFile(file, query->getResponseData(), reason);
    // The body is on disk: its memory goes before the callback, which holds
    // the main thread through the whole install.
    query->reset();
    // The path's own wide form would depend on the process's locale.
    const std::wstring widePath = utf8ToWString(file.string());
    if (written) {
        logger_->info("downloaded file write succeeded: %S", widePath.c_str());
    } else {
        logger_->error("downloaded file write failed: %S", widePath.c_str());
        logger_->error("%s", reason.c_str());
    }
    const DownloadCallback done = callback;
    done(written, file);
}

Downloader::QueryHandle Downloader::takeQuery(std::int32_t id) {
    const auto found = queries_.find(id);
    if (found == queries_.end()) {
        return {};
    }
    QueryHandle query = std::move(found->second);
    queries_.erase(found);
    return query;
}

bool Downloader::removeLastFolder() {
    if (lastFailedFolder_.empty()) {
        return false;
    }
    boost::system::error_code error;
    const bool removed = fs::remove(lastFailedFolder_, error);
    if (error) {
        logger_->warn("unable to remove '%s': %s", lastFailedFolder_.c_str(),
                      error.message().c_str());
    }
    return removed && !error;
}

void Downloader::get(const std::string& url, GetCallback callback) {
    logger_->info("GET from: %s", url.c_str());
    const std::int32_t id = nextId_++;
    QueryHandle query = platform_ != nullptr ? platform_->createQuery() : QueryHandle();
    if (!query) {
        callback(kStatusNotSent, std::string());
        return;
    }
    query->setOperation(IHttpQuery::GET);
    query->setHeader("User-Agent", kUserAgent);
    query->setUrl(url);
    const std::weak_ptr<bool> self = self_;
    query->setErrorHandler([self, callback](IHttpQuery::Error) {
        if (!self.expired()) {
            const GetCallback done = callback;
            done(kStatusNotSent, std::string());
        }
    });
    query->setFinishedHandler([this, self, id, callback](bool ok) {
        if (self.expired()) {
            return;
        }
        QueryHandle finished = takeQuery(id);
        if (ok && finished) {
            const GetCallback done = callback;
            done(kStatusOk, finished->getResponseText());
        }
    });
    IHttpQuery* started = query.get();
    queries_.emplace(id, std::move(query));
    started->execute();
}

}  // namespace common
