#include "PackageServer.h"

#include <stdexcept>

#include <rapidjson/document.h>

#include "support/ChildProcess.h"

namespace installertest {

PackageServer::PackageServer(const std::string& package, const std::string& journal,
                             const std::string& plan, bool slow)
    : journal_(journal) {
    std::vector<std::string> argv{
        "/usr/bin/python3", PACKAGE_SERVER, package, "--journal", journal, "--plan", plan};
    if (slow) {
        argv.emplace_back("--slow");
    }
    process_ = std::make_unique<RunningInstaller>(argv, std::vector<std::string>{});
    url_ = process_->firstOutputLine(std::chrono::seconds(20));
    if (url_.empty()) {
        throw std::runtime_error("PackageServer: the server did not start");
    }
}

PackageServer::~PackageServer() = default;

std::vector<PackageServer::Request> PackageServer::requests() const {
    std::vector<Request> requests;
    for (const auto& line : testsupport::splitLines(testsupport::readFile(journal_))) {
        rapidjson::Document entry;
        entry.Parse(line.c_str());
        if (!entry.IsObject()) {
            continue;
        }
        requests.push_back({entry["time"].GetDouble(), entry["method"].GetString(),
                            entry["path"].GetString(), entry["user_agent"].GetString(),
                            entry["status"].GetInt()});
    }
    return requests;
}

}  // namespace installertest
