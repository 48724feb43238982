// net-get: fetches a URL through the network library's HTTP connection.
//
// With --proxy every connection goes through that HTTP proxy's CONNECT
// tunnel, authenticated as the proxy asks with --proxy-user or, without it,
// with the proxy credentials kept in the credential storage.
//
// Runs the library's service on a thread of its own, sends one request
// (following redirects as the library does) and prints the status and the
// response headers on standard error. The body goes to standard output, or
// into FILE with -o. A transfer is given at most one hour; a closing signal
// (SIGHUP, SIGINT, SIGTERM) stops it without leaving a temporary file and
// ends it by that signal. The usage below lists the exit statuses.

#include <chrono>
#include <cstdio>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/post.hpp>
#include "common/logging/Logger.h"
#include "network/AsyncHTTPConnection.h"
#include "network/DecodedHTTPResponse.h"
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
        "the status and the headers go to standard error, the body to standard output or\n"
        "into FILE.\n"
        "  -o FILE             write the body into FILE, put in place once the transfer\n"
        "                      succeeded (a device or FIFO is written where it is); an\n"
        "                      answer without a body (HEAD, 204, 304) leaves it as it was\n"
        "  -X METHOD           the request method, sent as given (GET, or POST with -d);\n"
        "                      methods are case-sensitive: only HEAD's answer has no body\n"
        "  -H 'Name: value'    a request header, any number of times\n"
        "  -d BODY             the request body\n" +
            std::string(toolsupport::ProxyOptions::kOptionLines) +
            "Exit status: 0 for a 2xx answer or a 304; 1 the request was not sent, 2 the answer\n"
        "is not HTTP, 3 could not connect (name, TCP, TLS or proxy), 5 sending or reading\n"
        "failed, or the body does not decode (the reason is said); 30 for a redirect that\n"
        "was not followed (the redirects ran out, or the target may not be followed), 40\n"
        "for a 4xx answer, 50 for a 5xx one (10 times the status class); 64 a wrong command\n"
        "line; 74 the body could not be written. SIGHUP, SIGINT or SIGTERM end it by that\n"
        "signal, its temporary file removed (a shell then reports 128 plus the signal's\n"
        "number, 130 for SIGINT).\n");
}

// The command line; an empty `error` when it is right, else the reason.
Options ParseArguments(int argc, char** argv, std::string& error) {
    Options options;
    for (int i = 1; i < argc && error.empty(); ++i) {
        const std::string argument = argv[i];
        const bool takesValue =
            argument == "-o" || argument == "-X" || argument == "-d" || argument == "-H" ||
            toolsupport::ProxyOptions::IsOption(argument);
        if (takesValue && i + 1 >= argc) {
            error = "option " + argument + " needs a value";
        } else if (argument == "-o") {
            options.output = argv[++i];
        } else if (argument == "-X") {
            options.method = argv[++i];
        } else if (argument == "-d") {
            options.body = argv[++i];
        } else if (toolsupport::ProxyOptions::IsOption(argument)) {
            if (!options.proxy.Accept(argument, argv[++i], error)) {
                break;
            }
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
            return "the proxy wants credentials: none given or stored, or refused (HTTP 407)";
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

    // The body of a successful answer goes out as it arrives; any other
    // answer's body goes to standard output once it is complete, and never
    // to -o's path. The output is touched only when the first bytes are to
    // be written, and a file takes its place only once the transfer has
    // succeeded.
    BodyOutput output{options.output};
    // Taken before any thread starts; a closing signal removes the
    // temporary file, whatever the run is doing.
    const ClosingSignals closingSignals([&output] { output.Abandon(); });

    const auto proxyAuthenticator = options.proxy.MakeAuthenticator();
    auto service = std::make_shared<network::AsyncService>(false, "net-get", nullptr);
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

    connection->SetBodySink([&output](const unsigned char* data, std::size_t size) {
        return output.Write(data, size);
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
               !output.Write(body.data(), body.size()) || !output.Finish()) {
        std::cerr << program << ": " << output.Problem() << "\n";
        return kWriteFailed;
    }
    if (outcome.code >= 300 && outcome.code < 400 && outcome.code != 304) {
        // The library follows what it may, at most five times.
        std::cerr << program << ": " << options.url << ": redirect not followed (HTTP "
                  << outcome.code << ", Location: " << outcome.response->GetHeader("Location")
                  << "): too many redirects, or a target that may not be followed\n";
    }
    return exitCode;
}
