#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "IDownloader.h"
#include "IHttpQuery.h"
#include "common/logging/ILogger.h"
#include "common/taskscheduler/ITaskQueue.h"

class IQtNetworkPlugin;

namespace common {

// Downloads the agent package through the Qt platform's HTTP queries into a
// folder, retrying a failed attempt after a pause. An attempt that cannot
// have what it needs (a thread for Qt's HTTP work, a query) fails the
// download at once, saying why. Every request carries the
// same "User-Agent". All of it runs on the scheduler's thread: the calls, the
// downloader's own tasks and the queries' handlers.
//
// Releasing the downloader drops a waiting retry without calling its
// callback, clears the handlers of the running queries and makes any handler
// task already queued for them a no-op.
class Downloader : public IDownloader {
public:
    using QueryHandle = std::unique_ptr<IHttpQuery, std::function<void(IHttpQuery*)>>;

    static constexpr const char* kUserAgent = "Mac OS X 10_13_6";
    static constexpr const char* kPackageFileName = "WexoQuandelUnattended.zip";
    // Attempts after the first one.
    static constexpr std::uint32_t kRetries = 5;
    static constexpr std::chrono::milliseconds kRetryDelay{2000};
    // An attempt that moves next to nothing for this long is given up.
    static constexpr std::chrono::milliseconds kTransferTimeout{30000};

    // Takes ownership of the queue and the logger; `platform` must outlive
    // the downloader. `retryDelay` is the pause before a failed attempt is
    // repeated; `transferTimeout` the queries' transfer time-out (see
    // IHttpQuery::setTransferTimeout).
    static std::unique_ptr<IDownloader> create(
        IQtNetworkPlugin* platform, std::unique_ptr<ITaskQueue> queue,
        std::unique_ptr<ILogger> logger, std::chrono::milliseconds retryDelay = kRetryDelay,
        std::chrono::milliseconds transferTimeout = kTransferTimeout);

    Downloader(IQtNetworkPlugin* platform, std::unique_ptr<ITaskQueue> queue,
               std::unique_ptr<ILogger> logger, std::chrono::milliseconds retryDelay,
               std::chrono::milliseconds transferTimeout);
    ~Downloader() override;
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    void download(const std::string& url, const boost::filesystem::path& folder,
                  DownloadCallback callback, std::uint32_t tryCount) override;
    bool removeLastFolder() override;
    void get(const std::string& url, GetCallback callback) override;

    // Makes the process hand blocks of 256 KiB and more straight to the
    // system and back, instead of letting the allocator's threshold for that
    // rise with the network's buffers: freed buffers then never pile up in
    // the heap beside the body, and a download's peak stays near the size of
    // the package. Process-wide; called once at start.
    static void keepLargeBlocksOffTheHeap();

    // The name of a query error, "UnknownError" for a value beyond the known
    // ones.
    static const char* errorName(int error);

private:
    // The download task: one attempt.
    void startAttempt(const std::string& url, const boost::filesystem::path& folder,
                      DownloadCallback callback, std::uint32_t tryCount);
    void onAttemptError(IHttpQuery::Error error, const std::string& url,
                        const boost::filesystem::path& folder, const DownloadCallback& callback,
                        std::uint32_t tryCount);
    void onAttemptFinished(bool ok, std::int32_t id, const std::string& url,
                           const boost::filesystem::path& folder, const DownloadCallback& callback);
    // Takes the query out of the map; empty when it is not there.
    QueryHandle takeQuery(std::int32_t id);

    std::unique_ptr<ITaskQueue> queue_;
    std::unique_ptr<ILogger> logger_;
    boost::filesystem::path lastFailedFolder_;
    IQtNetworkPlugin* platform_;
    std::map<std::int32_t, QueryHandle> queries_;
    std::int32_t nextId_ = 0;
    const std::chrono::milliseconds retryDelay_;
    const std::chrono::milliseconds transferTimeout_;
    // The downloader's life: handlers hold it weakly (never locked) and do
    // nothing once it has expired.
    std::shared_ptr<bool> self_;
};

}  // namespace common
