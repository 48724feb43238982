#pragma once

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ScriptServer.h"

namespace installertest {

// The agent package served over HTTP on 127.0.0.1 by fixtures/package-server,
// which journals every request. Stopped when the object goes.
class PackageServer {
public:
    // One line of the journal: "<seconds> <method> <path> <status> <User-Agent>".
    struct Request {
        double time = 0;  // seconds, monotonic
        std::string method;
        std::string path;
        int status = 0;  // 0: left unanswered
        std::string userAgent;
    };

    // `plan` is the statuses to answer with in turn, the last one repeating
    // ("404,404,200"); `slow` sends a 200's body one byte every 200 ms;
    // `extra` are further options of the server ("--encoding", "gzip").
    PackageServer(const std::string& package, const std::string& journal,
                  const std::string& plan = "200", bool slow = false,
                  const std::vector<std::string>& extra = {})
        : journal_(journal), server_(PACKAGE_SERVER, options(package, journal, plan, slow, extra)) {
        if (!server_.ready()) {
            throw std::runtime_error("PackageServer: the server did not start");
        }
    }

    // The package's URL.
    const std::string& url() const { return server_.readyLine(); }

    // The requests so far, in order.
    std::vector<Request> requests() const {
        std::vector<Request> requests;
        for (const auto& line : testsupport::splitLines(testsupport::readFile(journal_))) {
            std::istringstream entry(line);
            Request& request = requests.emplace_back();
            entry >> request.time >> request.method >> request.path >> request.status;
            std::getline(entry >> std::ws, request.userAgent);
        }
        return requests;
    }

private:
    static std::vector<std::string> options(const std::string& package, const std::string& journal,
                                            const std::string& plan, bool slow,
                                            const std::vector<std::string>& extra) {
        std::vector<std::string> all{package,  "--journal", journal,
                                     "--plan", plan,        "--slow",
                                     slow ? "1" : "0"};
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }

    std::string journal_;
    testsupport::ScriptServer server_;
};

}  // namespace installertest
