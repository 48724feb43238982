#pragma once

#include <string>
#include <vector>

#include "support/ScriptServer.h"

namespace installertest {

// The agent package served over HTTP on 127.0.0.1 by fixtures/package-server,
// which journals every request. Stopped when the object goes.
class PackageServer {
public:
    struct Request {
        double time = 0;  // seconds, monotonic
        std::string userAgent;
    };

    // `plan` is the statuses to answer with in turn, the last one repeating
    // ("404,404,200"); `slow` sends a 200's body one byte every 200 ms.
    // Throws when the server does not start.
    PackageServer(const std::string& package, const std::string& journal,
                  const std::string& plan = "200", bool slow = false);

    // The package's URL.
    const std::string& url() const { return server_.readyLine(); }
    // The requests so far, in order.
    std::vector<Request> requests() const;

private:
    std::string journal_;
    testsupport::ScriptServer server_;
};

}  // namespace installertest
