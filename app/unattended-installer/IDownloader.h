#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <boost/filesystem/path.hpp>

namespace common {

// Fetches files over HTTP(S).
class IDownloader {
public:
    // (success, the file written; empty when the download gave up).
    using DownloadCallback = std::function<void(bool, const boost::filesystem::path&)>;
    // (HTTP status: 200 for a reply, 1 when no reply came; the body).
    using GetCallback = std::function<void(std::uint32_t, const std::string&)>;

    virtual ~IDownloader() = default;

    // Fetches `url` into the package file in `folder`, retrying failed
    // attempts; `tryCount` is the number of attempts already made. The
    // callback is called once, when the download succeeds or gives up; never
    // after the downloader has been released.
    virtual void download(const std::string& url, const boost::filesystem::path& folder,
                          DownloadCallback callback, std::uint32_t tryCount) = 0;

    // Removes the target folder of the last download that gave up (a file or
    // an empty folder); true when something was removed.
    virtual bool removeLastFolder() = 0;

    // Fetches `url` into memory, once, without following redirects.
    virtual void get(const std::string& url, GetCallback callback) = 0;
};

}  // namespace common
