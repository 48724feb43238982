// qtp-get: fetches a URL through the Qt platform, as the installer does.
//
//   qtp-get URL [-o FILE]
//
// Follows redirects (never from HTTPS to HTTP) and uses the system's proxy
// for the URL. Without -o the body goes to standard output; with it the body
// is downloaded into FILE. The exit code is the query's outcome: 0 on
// success, else its error code (1 to 33, for instance 21 when the server
// answers 404); 64 for a wrong command line.

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "IHttpQuery.h"
#include "QtCorePlatform.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "common/logging/ILogger.h"
#include "common/taskscheduler/TaskSchedulerMac.h"

namespace {

constexpr int kUsageError = 64;
constexpr std::chrono::milliseconds kTick{10};

void printUsage(const char* program) {
    std::cerr << "usage: " << program << " URL [-o FILE]\n"
              << "Fetches URL through the Qt platform; exits with 0 or the query's error code.\n";
}

}  // namespace

int main(int argc, char** argv) {
    const char* program = argc > 0 ? argv[0] : "qtp-get";
    std::string url;
    std::optional<std::string> output;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-o" && i + 1 < argc) {
            output = argv[++i];
        } else if (url.empty() && !argument.empty() && argument[0] != '-') {
            url = argument;
        } else {
            printUsage(program);
            return kUsageError;
        }
    }
    if (url.empty()) {
        printUsage(program);
        return kUsageError;
    }

    auto scheduler = common::TaskSchedulerMac::create(kTick, common::createLogger("TaskScheduler"));
    common::credentialstorage::CredentialStorage storage;
    auto platform = QtCorePlatform::create(*scheduler, &storage, program);
    auto query = platform->createQuery();

    std::optional<IHttpQuery::Error> error;
    bool success = false;
    query->setErrorHandler([&](IHttpQuery::Error code) { error = code; });
    query->setFinishedHandler([&](bool ok) {
        success = ok;
        scheduler->stop();
    });
    query->setOperation(IHttpQuery::GET);
    query->setFollowRedirects();
    query->setUrl(url);
    if (output) {
        query->downloadFile(*output);
    } else {
        query->execute();
    }
    scheduler->run();

    int exitCode = 0;
    if (success) {
        if (!output) {
            const auto& body = query->getResponseData();
            std::fwrite(body.data(), 1, body.size(), stdout);
            std::fflush(stdout);
        }
    } else {
        exitCode = error ? static_cast<int>(*error) : IHttpQuery::UnknownNetworkError;
        std::cerr << program << ": " << url << ": error " << exitCode;
        if (const int status = query->getStatusCode(); status != 0) {
            std::cerr << " (HTTP status " << status << ")";
        }
        std::cerr << "\n";
    }
    query.reset();
    platform.reset();
    return exitCode;
}
