#pragma once

#include <memory>
#include <string>
#include <vector>

#include "RunningInstaller.h"

namespace installertest {

// The agent package served over HTTP on 127.0.0.1 by fixtures/package-server,
// a process of its own that journals every request. Stopped when the object
// goes.
class PackageServer {
public:
    struct Request {
        double time = 0;  // seconds, monotonic
        std::string method;
        std::string path;
        std::string userAgent;
        int status = 0;
    };

    // `plan` is the statuses to answer with in turn, the last one repeating
    // ("404,404,200"); `slow` sends a 200's body one byte every 200 ms.
    // Throws when the server does not start.
    PackageServer(const std::string& package, const std::string& journal,
                  const std::string& plan = "200", bool slow = false);
    // Stops the server.
    ~PackageServer();
    PackageServer(const PackageServer&) = delete;
    PackageServer& operator=(const PackageServer&) = delete;

    // The package's URL.
    const std::string& url() const { return url_; }

    // The requests so far, in order.
    std::vector<Request> requests() const;

private:
    std::unique_ptr<RunningInstaller> process_;
    std::string journal_;
    std::string url_;
};

}  // namespace installertest
