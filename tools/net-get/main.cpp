// net-get: fetches a URL through the network library's HTTP connection.
//
// With --proxy every connection goes through that HTTP proxy's CONNECT
// tunnel, authenticated as the proxy asks with --proxy-user or, without it,
// with the proxy credentials kept in the credential storage.
//
// Runs the library's service on a thread of its own, sends one request
// (following redirects as the library does) and prints the status and the
// response headers on standard error. The body goes to standard output, or
// into FILE with -o; it is never held whole (of a redirect's, 1 MiB at
// most). A transfer is given at most one hour; a closing signal (SIGHUP,
// SIGINT, SIGTERM) stops it without leaving a temporary file and ends it by
// that signal. The usage below lists the exit statuses.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <boost/asio/post.hpp>
#include "common/logging/Logger.h"
#include "network/AsyncHTTPConnection.h"
#include "network/DecodedHTTPResponse.h"
#include "network/HTTPRedirectPolicy.h"
#include "network/NetworkConnectivity.h"
#include "network/PlainHTTPResponse.h"
#include "network/URL.h"
#include "BodyOutput.h"
#include "ClosingSignals.h"
#include "ProxyOptions.h"
#include "StandardDescriptors.h"
#include "ToolUsage.h"

namespace {

constexpr int kNotHTTP = 2;
constexpr int kWriteFailed = 74;
constexpr auto kTransferBound = std::chrono::hours(1);
// The most of a redirect's body kept for standard output: it comes after the
// answer, once it is known not to be followed.
constexpr std::size_t kKeptRedirectBody = std::size_t{1} << 20;

struct Options {
    std::string url;
    std::optional<std::string> output;
    std::string method;
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;
    toolsupport::ProxyOptions proxy;
};

toolsupport::ToolUsage Usage(const char* argv0) {
    return toolsupport::ToolUsage(
        argv0,
        std::string("URL [-o FILE] [-X METHOD] [-H 'Name: value']... [-d BODY]\n       ") +
            toolsupport::ProxyOptions::kSynopsis,
        "Fetches URL (http:// or https://, the scheme in any case) through the network library:\n"
        "the status and the headers go to standard error, the body to standard output as it\n"
        "arrives (that of a 4xx or 5xx answer too; a redirect's, at most 1 MiB, at the end)\n"
        "or into FILE.\n"
        "  -o FILE             write the body into FILE, put in place once the transfer\n"
        "                      succeeded (a device or FIFO is written where it is); an\n"
        "                      answer without a body (HEAD, 204, 304) leaves it as it was,\n"
        "                      and the body of an answer other than a 2xx is dropped.\n"
        "                      The new file beside FILE is its owner's alone until then\n"
        "                      and takes FILE's mode when FILE is the caller's. Refused\n"
        "                      before the request: a link to a regular file, what another\n"
        "                      user put at FILE in a sticky folder that every user may\n"
        "                      write (as /tmp), a FILE whose folder does not let the caller\n"
        "                      make a file or replace the one there\n"
        "  -X METHOD           the request method, sent as given (GET, or POST with -d);\n"
        "                      methods are case-sensitive: only HEAD's answer has no body;\n"
        "                      one that is not a token (a blank in it) is refused\n"
        "  -H 'Name: value'    a request header, any number of times\n"
        "  -d BODY             the request body\n" +
            std::string(toolsupport::ProxyOptions::kOptionLines) +
            "Exit status: 0 for a 2xx answer or a 304; 1 the request was not sent (a URL it\n"
        "cannot use, or no thread could be started: the reason is said), 2 the answer is not\n"
        "HTTP, 3 could not connect (name, TCP, TLS or proxy), 5 sending or reading failed, or the body does not decode\n"
        "(the reason is said); 10 for a 101 answer, 30 for a redirect that was not followed\n"
        "(the redirects ran out, the target may not be followed, or a 300, 305, 306 or 308,\n"
        "never followed), 40 for a 4xx answer, 50 for a 5xx one, 60 to 90 for a status of\n"
        "600 to 999 (10 times the status class); 64 a wrong command line; 74 the body could\n"
        "not be written (File too large past a file size limit) or FILE is refused, with\n"
        "the reason. SIGHUP, SIGINT or SIGTERM end it by that signal, its temporary file\n"
        "removed (a shell then reports 128 plus the signal's number, 130 for SIGINT).\n");
}

// The command line; an empty `error` when it is right, else the reason.
Options ParseArguments(int argc, char** argv, std::string& error) {
    Options options;
    for (int i = 1; i < argc && error.empty(); ++i) {
        const std::string argument = argv[i];
        const bool takesValue =
            argument == "-o" || argument == "-X" || argument == "-d" || argument == "-H";
        if (toolsupport::ProxyOptions::IsOption(argument)) {
            if (!options.proxy.Take(argc, argv, i, error)) {
                break;
            }
        } else if (takesValue && i + 1 >= argc) {
            error = "option " + argument + " needs a value";
        } else if (argument == "-o") {
            options.output = argv[++i];
        } else if (argument == "-X") {
            options.method = argv[++i];
        } else if (argument == "-d") {
            options.body = argv[++i];
        } else if (argument == "-H") {
            const std::string header = argv[++i];
            const auto colon = header.find(':');
            if (colon == std::string::npos || colon == 0) {
                error = "the header '" + header + "' is not 'Name: value'";
                break;
            }
            const auto value = header.find_first_not_of(" \t", colon + 1);
            options.headers.emplace_back(header.substr(0, colon),
                                         value == std::string::npos ? "" : header.substr(value));
        } else {
            toolsupport::ToolUsage::takeUrl(argument, options.url, error);
        }
    }
    if (error.empty() && options.url.empty()) {
        error = "no URL";
    } else if (error.empty()) {
        error = options.proxy.Conflict();
    }
    if (error.empty()) {
        toolsupport::ToolUsage::checkScheme(options.url, network::SchemeOf(options.url),
                                            {"http", "https"}, error);
    }
    return options;
}

// The library's failure codes in words.
std::string FailureText(network::HTTPStatusCode code) {
    switch (code) {
        case network::httpstatus::kInvalidResponse:
            return "the answer is not HTTP";
        case network::httpstatus::kNotSent:
            return "the request was not sent";
        case network::httpstatus::kConnectFailed:
            return "could not connect (name lookup, TCP, TLS or proxy failed)";
        case network::httpstatus::kIOError:
            return "sending the request or reading the answer failed";
        case network::httpstatus::kProxyAuthenticationRequired:
            return toolsupport::ProxyOptions::kCredentialsWanted;
        default:
            return "failed";
    }
}

const network::HTTPHeaderList* HeaderList(const network::IHTTPResponse& response) {
    if (const auto* decoded = dynamic_cast<const network::DecodedHTTPResponse*>(&response)) {
        return HeaderList(decoded->Wrapped());
    }
    if (const auto* plain = dynamic_cast<const network::PlainHTTPResponse*>(&response)) {
        return &plain->GetHeaderList();
    }
    return nullptr;
}

int ExitCodeOf(network::HTTPStatusCode code) {
    if (code == network::httpstatus::kInvalidResponse) {
        return kNotHTTP;
    }
    if (code < 100) {
        return static_cast<int>(code);
    }
    if ((code >= 200 && code < 300) || code == 304) {
        return 0;
    }
    return static_cast<int>(code / 100) * 10;
}

// Whether the answer has no body at all (not merely an empty one). Methods
// are case-sensitive: "head" is not HEAD, and its answer has a body.
bool HasNoBody(const std::string& method, network::HTTPStatusCode code) {
    return method == "HEAD" || code < 200 || code == 204 || code == 304;
}

}  // namespace

int main(int argc, char** argv) {
    const auto usage = Usage(argc > 0 ? argv[0] : "net-get");
    if (std::string held; !toolsupport::HoldStandardDescriptors(held)) {
        return usage.fail(held, kWriteFailed);
    }
    if (usage.helpRequested(argc, argv)) {
        return 0;
    }
    std::string error;
    const Options options = ParseArguments(argc, argv, error);
    if (!error.empty()) {
        return usage.refuse(error);
    }
    const char* program = usage.name().c_str();
    // No log is kept: the library's records are dropped before they are formatted.
    common::Logger::setEarlyLevel(common::loglevel::off);
    if (const std::string refusal = network::URLRefusal(network::WithLowerCaseScheme(options.url));
        !refusal.empty()) {
        std::cerr << program << ": " << options.url << ": "
                  << FailureText(network::httpstatus::kNotSent) << ": " << refusal << " (error "
                  << network::httpstatus::kNotSent << ")\n";
        return network::httpstatus::kNotSent;
    }

    // The body of a successful answer goes out as it arrives, and so does
    // that of a 4xx or 5xx one without -o; that of a redirect not followed
    // is kept up to a bound and written after the answer (the library drops
    // the body of one it follows); with -o, any other answer's body is read
    // and dropped, never decoded. The output is touched only when the
    // first bytes are to be written, and a file takes its place only once
    // the transfer has succeeded.
    BodyOutput output{options.output};
    // Taken before any thread starts; a closing signal removes the
    // temporary file, whatever the run is doing. A file size limit makes a
    // write fail (File too large) instead of ending the run.
    const ClosingSignals closingSignals([&output] { output.Abandon(); });
    std::signal(SIGXFSZ, SIG_IGN);

    const auto proxyAuthenticator = options.proxy.MakeAuthenticator();
    std::shared_ptr<network::AsyncService> service;
    try {
        service = std::make_shared<network::AsyncService>(false, "net-get", nullptr);
    } catch (const std::system_error& failure) {
        // No thread for the service (a limit of processes, say).
        std::cerr << program << ": " << options.url << ": "
                  << FailureText(network::httpstatus::kNotSent)
                  << ": no thread could be started for it: " << failure.code().message()
                  << " (error " << network::httpstatus::kNotSent << ")\n";
        return network::httpstatus::kNotSent;
    }
    auto connection = network::AsyncHTTPConnection::Create(
        service, std::make_shared<network::AsyncSSLContext>(), proxyAuthenticator,
        std::make_shared<network::NetworkConnectivity>(), std::make_shared<network::HTTPCookieStore>());
    auto request = connection->CreateRequest();
    request->SetMethod(options.method);
    for (const auto& [name, value] : options.headers) {
        if (network::HeaderNameEquals(name, "Content-Type")) {
            request->SetContentType(value);
        } else {
            request->AddHeader(name, value);
        }
    }
    if (options.body) {
        const auto& body = *options.body;
        request->SetBody(core::NonInitializingBuffer<unsigned char>(
            reinterpret_cast<const unsigned char*>(body.data()), body.size()));
    }
    // The library refuses a request it cannot send as asked: say why here.
    if (std::string reason; !network::AsyncHTTPConnection::ValidateRequest(
            static_cast<const network::AsyncHTTPRequest&>(*request), reason)) {
        return usage.refuse("the request cannot be sent: " + reason);
    }
    // An output that cannot be had is found out before the request.
    if (!output.Check()) {
        std::cerr << program << ": " << output.Problem() << "\n";
        return kWriteFailed;
    }

    // The status of the answer whose body arrives, and what is kept of a
    // redirect's body: touched on the service's thread until the outcome.
    network::HTTPStatusCode answering = 0;
    std::string redirectBody;
    std::uint64_t redirectBytes = 0;
    const bool toFile = options.output.has_value();
    connection->SetBodySink(
        [&](const unsigned char* data, std::size_t size) {
            if ((answering >= 200 && answering < 300) || (!toFile && answering >= 400)) {
                return output.Write(data, size);
            }
            if (!toFile) {
                redirectBytes += size;
                redirectBody.append(reinterpret_cast<const char*>(data),
                                    std::min(size, kKeptRedirectBody - redirectBody.size()));
            }
            return true;
        },
        // A reader that follows the output gets each read's bytes at once.
        output.FollowedByAReader() ? 1 : network::AsyncHTTPConnection::kSinkPieceSize,
        // A body that is not written is neither decoded nor held.
        [&](network::HTTPStatusCode status) {
            answering = status;
            redirectBody.clear();
            redirectBytes = 0;
            return toFile && (status < 200 || status >= 300)
                       ? network::AsyncHTTPConnection::BodyUse::Dropped
                       : network::AsyncHTTPConnection::BodyUse::Sunk;
        });

    struct Outcome {
        network::HTTPStatusCode code = 0;
        std::unique_ptr<network::IHTTPResponse> response;
    };
    std::promise<Outcome> promise;
    auto future = promise.get_future();
    connection->Submit(options.url, std::move(request),
                       [&promise](network::HTTPStatusCode code,
                                  std::unique_ptr<network::IHTTPResponse> response) {
                           promise.set_value({code, std::move(response)});
                       });
    if (future.wait_for(kTransferBound) != std::future_status::ready) {
        std::cerr << program << ": " << options.url << ": no answer within one hour\n";
        service->Stop();
        return network::httpstatus::kIOError;
    }
    Outcome outcome = future.get();
    // The connection closes on the service's thread before the service stops.
    std::promise<void> closed;
    boost::asio::post(service->GetIOContext(), [&connection, &closed] {
        connection->AsyncClose([&closed] { closed.set_value(); });
    });
    closed.get_future().wait_for(std::chrono::seconds(10));
    service->Stop();
    // The library's reason for a failure, where the code alone would not say it.
    const std::string failure = connection->FailureReason();
    connection.reset();

    if (output.Failed()) {
        std::cerr << program << ": " << output.Problem() << "\n";
        output.Discard();
        return kWriteFailed;
    }
    if (!outcome.response) {
        // A body cut short is not left behind as if it were whole.
        output.Discard();
        std::cerr << program << ": " << options.url << ": "
                  << (failure.empty() ? FailureText(outcome.code) : failure) << " (error "
                  << outcome.code << ")\n";
        return ExitCodeOf(outcome.code);
    }
    // The head goes out in one piece: standard error writes each part at once.
    std::string head = "HTTP " + std::to_string(outcome.code) + "\n";
    if (const auto* headers = HeaderList(*outcome.response)) {
        for (const auto& [name, value] : *headers) {
            head.append(name).append(": ").append(value).append("\n");
        }
    }
    head += "\n";
    std::cerr << head;
    const int exitCode = ExitCodeOf(outcome.code);
    if (exitCode != 0 && options.output) {
        // A failed answer's body (a 404 page, a redirect not followed) takes
        // the place of nothing: the output is left as it was.
        output.Discard();
    } else if (HasNoBody(options.method, outcome.code)) {
        if (!output.FinishWithoutBody()) {
            std::cerr << program << ": " << output.Problem() << "\n";
            return kWriteFailed;
        }
    } else if (const auto body = outcome.response->TakeBody();
               !output.Write(body.data(), body.size()) ||
               !output.Write(reinterpret_cast<const unsigned char*>(redirectBody.data()),
                             redirectBody.size()) ||
               !output.Finish()) {
        std::cerr << program << ": " << output.Problem() << "\n";
        return kWriteFailed;
    }
    if (outcome.code >= 300 && outcome.code < 400 && outcome.code != 304) {
        // The library follows what it may, at most five times.
        const std::string code = std::to_string(outcome.code);
        std::cerr << program << ": " << options.url << ": redirect not followed (HTTP " << code
                  << ", Location: " << outcome.response->GetHeader("Location") << "): "
                  << (network::HTTPRedirectPolicy::FollowsStatus(outcome.code)
                          ? "too many redirects, or a target that may not be followed"
                          : "HTTP " + code + " is not followed")
                  << "\n";
        if (redirectBytes > redirectBody.size()) {
            std::cerr << program << ": only the first " << redirectBody.size() << " of the "
                      << redirectBytes << " bytes of the redirect's body were written\n";
        }
    }
    return exitCode;
}
