// qtp-get: fetches a URL through the Qt platform, as the installer does.
//
// Follows redirects (never from HTTPS to HTTP) and uses the system's proxy
// for the URL. Without -o the body goes to standard output; with it the body
// is downloaded into FILE, through a file beside it that a closing signal
// (SIGHUP, SIGINT, SIGTERM) removes before it ends the run by that signal.
// The usage below lists the exit statuses.

#include <QCoreApplication>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ClosingSignals.h"
#include "HttpQueryErrors.h"
#include "IHttpQuery.h"
#include "QtCorePlatform.h"
#include "StandardDescriptors.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "common/logging/ILogger.h"
#include "common/logging/Logger.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "common/utils/WriteAll.h"
#include "ToolUsage.h"

namespace {

constexpr std::chrono::milliseconds kTick{10};
// The body could not be written to standard output (sysexits' EX_IOERR, as
// net-get has it).
constexpr int kWriteFailed = 74;

// Writes the whole body to standard output, unbuffered: each write is
// checked, and none is left to a flush. The reason of a failed write; empty
// when every byte went out (an empty body writes nothing).
std::string writeToStandardOutput(const std::vector<char>& body) {
    const int error = common::writeAll(STDOUT_FILENO, body.data(), body.size());
    return error == 0 ? std::string() : std::strerror(error);
}

toolsupport::ToolUsage usageOf(const char* argv0) {
    return toolsupport::ToolUsage(
        argv0, "URL [-o FILE]",
        "Fetches an http or https URL through the Qt platform, following redirects and the\n"
        "system's proxy; the body of a 2xx answer, decoded when sent gzip or deflate, goes\n"
        "to standard output, or into FILE with -o; that of any other answer is dropped.\n"
        "FILE is replaced only by a transfer that succeeded: a new file beside it, its\n"
        "owner's alone until then, takes its place, with FILE's mode when FILE is the\n"
        "caller's; a 204 leaves FILE as it was. A device or FIFO is written where it is.\n"
        "Refused before the request: a link to a regular file, what another user put at\n"
        "FILE in a sticky folder that every user may write (as /tmp), and a FILE whose\n"
        "folder does not let the caller make a file or replace the one there. SIGHUP,\n"
        "SIGINT or SIGTERM end it by that signal, the file beside FILE removed.\n"
        "Exit status: 0 for a 2xx answer; else the query's error code, 1 to 33, named on\n"
        "standard error with the HTTP status (21 ContentNotFoundError for a 404, 19\n"
        "ContentAccessDenied for a FILE that cannot be made, written (File too large past a\n"
        "file size limit) or is refused, with the reason, 26 UnknownContentError for a body\n"
        "too large to take (without -o over 2 GiB; a coded one that decodes to more than 40\n"
        "times its size once past 10 MiB), 27 ProtocolUnknownError for a scheme other than\n"
        "http or https, 29 ProtocolFailure for a coded body that is damaged or cut short or\n"
        "in a content coding it does not know, or for an answer that carries no resource and\n"
        "is not followed: a 1xx, a 300, a 304, ...; 12 UnknownNetworkError also when Qt's\n"
        "thread cannot start); 64 a wrong command line; 74 standard output could not be\n"
        "written (closed, full, or its reader gone: the reason is said).\n");
}

}  // namespace

int main(int argc, char** argv) {
    const auto usage = usageOf(argc > 0 ? argv[0] : "qtp-get");
    // A closed standard output stays closed, rather than taken by a file or
    // socket of Qt's that the body would then be written into.
    if (std::string held; !toolsupport::HoldStandardDescriptors(held)) {
        return usage.fail(held, kWriteFailed);
    }
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
    // Taken before any other thread starts: a closing signal removes the
    // file beside FILE, whatever the run is doing, and ends the run by that
    // signal. A file size limit makes a write fail (File too large, 19)
    // instead of ending the run. A reader of standard output that has gone
    // is a write that failed (EPIPE), reported as such, not a silent end by
    // SIGPIPE. Set before Qt makes its threads, so that each of them has it.
    std::mutex stopping;
    IHttpQuery* downloading = nullptr;
    const ClosingSignals closingSignals([&] {
        const std::lock_guard<std::mutex> lock(stopping);
        if (downloading != nullptr) {
            downloading->abandonDownload();
        }
    });
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);

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
    if (!query) {
        // Qt's thread did not start (a limit of processes or of address
        // space): nothing can be sent.
        std::cerr << program << ": " << url << ": "
                  << httpQueryErrorName(IHttpQuery::UnknownNetworkError) << " (error "
                  << IHttpQuery::UnknownNetworkError
                  << "): the Qt thread could not be started, so no request can be sent\n";
        platform.reset();
        return IHttpQuery::UnknownNetworkError;
    }

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
        {
            const std::lock_guard<std::mutex> lock(stopping);
            downloading = query.get();
        }
        query->downloadFile(*output);
    } else {
        query->execute();
    }
    scheduler->run();

    int exitCode = 0;
    if (success) {
        if (const auto problem = output ? std::string() : writeToStandardOutput(query->getResponseData());
            !problem.empty()) {
            std::cerr << program << ": cannot write standard output: " << problem << "\n";
            exitCode = kWriteFailed;
        }
    } else {
        exitCode = error ? static_cast<int>(*error) : IHttpQuery::UnknownNetworkError;
        std::cerr << program << ": " << url << ": " << httpQueryErrorName(exitCode) << " (error "
                  << exitCode;
        if (const int status = query->getStatusCode(); status != 0) {
            std::cerr << ", HTTP status " << status;
        }
        std::cerr << ")\n";
        if (const int status = query->getStatusCode();
            exitCode == IHttpQuery::ProtocolFailure &&
            ((status >= 100 && status < 200) || (status >= 300 && status < 400))) {
            std::cerr << program << ": HTTP " << status
                      << " carries no resource, and it was not followed\n";
        }
        if (const auto problem = query->downloadFileError(); output && !problem.empty()) {
            std::cerr << program << ": cannot write " << *output << ": " << problem << "\n";
        }
    }
    {
        const std::lock_guard<std::mutex> lock(stopping);
        downloading = nullptr;
    }
    query.reset();
    platform.reset();
    return exitCode;
}
