// qtp-get: fetches a URL through the Qt platform, as the installer does.
//
// Follows redirects (never from HTTPS to HTTP) and uses the system's proxy
// for the URL. Without -o the body goes to standard output; with it the body
// is downloaded into FILE. The usage below lists the exit statuses.

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "HttpQueryErrors.h"
#include "IHttpQuery.h"
#include "QtCorePlatform.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "common/logging/ILogger.h"
#include "common/logging/Logger.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "ToolUsage.h"

namespace {

constexpr std::chrono::milliseconds kTick{10};

toolsupport::ToolUsage usageOf(const char* argv0) {
    return toolsupport::ToolUsage(
        argv0, "URL [-o FILE]",
        "Fetches an http or https URL through the Qt platform, following redirects and the\n"
        "system's proxy; the body, decoded when sent gzip or deflate, goes to standard\n"
        "output, or into FILE with -o. FILE is replaced only by a transfer that succeeded\n"
        "(a new file beside it takes its place); a device or FIFO is written where it is.\n"
        "Exit status: 0 on success; else the query's error code, 1 to 33, named on standard\n"
        "error (21 ContentNotFoundError for a 404, 19 ContentAccessDenied for a FILE that\n"
        "cannot be made or written, with the reason, 26 UnknownContentError for a body too\n"
        "large to take (without -o over 2 GiB; a coded one that decodes to more than 40\n"
        "times its size once past 10 MiB), 27 ProtocolUnknownError for a scheme other than\n"
        "http or https, 29 ProtocolFailure for a coded body that is damaged or cut short,\n"
        "or in a content coding it does not know, ...); 64 a wrong command line.\n");
}

}  // namespace

int main(int argc, char** argv) {
    const auto usage = usageOf(argc > 0 ? argv[0] : "qtp-get");
    if (usage.helpRequested(argc, argv)) {
        return 0;
    }
    std::string url;
    std::optional<std::string> output;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-o") {
            if (i + 1 >= argc) {
                return usage.refuse("option -o needs a value");
            }
            output = argv[++i];
        } else {
            std::string error;
            toolsupport::ToolUsage::takeUrl(argument, url, error);
            if (!error.empty()) {
                return usage.refuse(error);
            }
        }
    }
    if (url.empty()) {
        return usage.refuse("no URL");
    }
    const char* program = usage.name().c_str();
    // No log is kept: the records are dropped before they are formatted.
    common::Logger::setEarlyLevel(common::loglevel::off);
    // Qt's plain Unix event loop, not its GLib one, on every Qt thread: the
    // GLib loop wakes a thread with a system call for each event posted to
    // it, which over TLS is several for each record read. Set while only
    // this thread runs, before Qt makes its threads; a value the caller set
    // stays.
    ::setenv("QT_NO_GLIB", "1", 0);

    auto scheduler = common::TaskSchedulerMac::create(kTick, common::createLogger("TaskScheduler"));
    common::credentialstorage::CredentialStorage storage;
    // One fetch needs none of Qt's plugins. Without a plugin path Qt loads
    // no network bearer plugins, which would read every network interface
    // and load D-Bus to try the system bus before the first request (Qt 5.15
    // has no switch for them in the environment: QT_EXCLUDE_GENERIC_BEARER
    // leaves the D-Bus ones, QT_BEARER_POLL_TIMEOUT only spaces their polls).
    QCoreApplication::setLibraryPaths({});
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
        std::cerr << program << ": " << url << ": " << httpQueryErrorName(exitCode) << " (error "
                  << exitCode;
        if (const int status = query->getStatusCode(); status != 0) {
            std::cerr << ", HTTP status " << status;
        }
        std::cerr << ")\n";
        if (const auto problem = query->downloadFileError(); output && !problem.empty()) {
            std::cerr << program << ": cannot write " << *output << ": " << problem << "\n";
        }
    }
    query.reset();
    platform.reset();
    return exitCode;
}
