#include "PackageServer.h"

#include <sstream>
#include <stdexcept>

#include "support/ChildProcess.h"

namespace installertest {

PackageServer::PackageServer(const std::string& package, const std::string& journal,
                             const std::string& plan, bool slow)
    : journal_(journal),
      server_(PACKAGE_SERVER,
              {package, "--journal", journal, "--plan", plan, "--slow", slow ? "1" : "0"}) {
    if (!server_.ready()) {
        throw std::runtime_error("PackageServer: the server did not start");
    }
}

std::vector<PackageServer::Request> PackageServer::requests() const {
    std::vector<Request> requests;
    for (const auto& line : testsupport::splitLines(testsupport::readFile(journal_))) {
        std::istringstream entry(line);
        Request request;
        entry >> request.time;
        std::getline(entry >> std::ws, request.userAgent);
        requests.push_back(request);
    }
    return requests;
}

}  // namespace installertest
