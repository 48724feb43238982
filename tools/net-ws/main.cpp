// net-ws: talks to a web-socket server through the network library.
//
// Runs the library's service on a thread of its own, opens URL (ws or wss
// only, through the proxy of --proxy when given), sends each line of standard
// input as a text message and prints each message received as a line on
// standard output (from a thread of its own: a slow reader of the output
// holds up no line going out). At the end of the input it closes the
// connection; the close code goes to standard error. When the output cannot
// be written it stops reading its input and closes the connection too, and
// says so. The usage below lists the exit statuses.

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <boost/asio/post.hpp>

#include "common/logging/Logger.h"
#include "network/AsyncWebSocket.h"
#include "network/IHTTPResponse.h"
#include "network/NetworkConnectivity.h"
#include "network/URL.h"
#include "MessageOutput.h"
#include "ProxyOptions.h"
#include "StandardDescriptors.h"
#include "ToolUsage.h"

namespace {

// Whatever ended the connection other than a closing handshake.
constexpr int kBroken = network::ITCPSocket::kReadFailed;
// The close code of a connection that ended without the server's Close frame.
constexpr std::uint16_t kNoCloseFrame = 1006;
// The answer to the upgrade is not HTTP (as net-get has it).
constexpr int kNotHTTP = 2;
// The messages could not be written (as sysexits' EX_IOERR).
constexpr int kWriteFailed = 74;
// The opening handshake and the closing one each take at most the socket's
// time-out; this bounds them from outside as well.
constexpr auto kHandshakeBound = std::chrono::seconds(60);

toolsupport::ToolUsage Usage(const char* argv0) {
    return toolsupport::ToolUsage(
        argv0, std::string("URL ") + toolsupport::ProxyOptions::kSynopsis,
        "Sends each line of standard input to the web socket at URL as a text message and\n"
        "prints each message received as a line; the close code goes to standard error. URL is\n"
        "ws:// or wss:// (any other scheme, http:// and https:// too, is a wrong command line).\n" +
            std::string(toolsupport::ProxyOptions::kOptionLines) +
            "Exit status: 0 the connection ended with a closing handshake (begun by either side,\n"
            "the server's Close frame read); 7 the connection broke or ended without the server's\n"
            "Close frame, or the server broke the protocol; when the opening failed: 1 the upgrade\n"
            "was not sent (the URL is not valid, or no thread could be started: the reason is\n"
            "said), 2 the answer is not HTTP, 3 could not connect (name, TCP, TLS or proxy), 5\n"
            "sending or reading failed or no answer within a minute; for an answer that does not\n"
            "upgrade, 10 times its status class (an interim 1xx answer is skipped): 20 a 2xx, 30 a\n"
            "3xx (not followed), 40 a 4xx (a 407 from the proxy) or a 101 that does not upgrade to\n"
            "a web socket (a wrong accept value, Upgrade or Connection, or an extension or\n"
            "subprotocol not asked for), 50 a 5xx; 64 a wrong command line; 74 the messages could\n"
            "not be written (the connection is then closed).\n");
}

struct Options {
    std::string url;
    toolsupport::ProxyOptions proxy;
};

// The command line; an empty `error` when it is right, else the reason.
Options ParseArguments(int argc, char** argv, std::string& error) {
    Options options;
    for (int i = 1; i < argc && error.empty(); ++i) {
        const std::string argument = argv[i];
        if (toolsupport::ProxyOptions::IsOption(argument)) {
            options.proxy.Take(argc, argv, i, error);
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
                                            {"ws", "wss"}, error);
    }
    return options;
}

// Why the opening failed, in words; `refusal`: why a 101 was refused.
std::string UpgradeFailure(network::HTTPStatusCode code, const std::string& refusal) {
    if (!refusal.empty()) {
        return "the server's 101 answer is no web-socket upgrade: " + refusal;
    }
    switch (code) {
        case network::httpstatus::kInvalidResponse:
            return "the answer is not HTTP";
        case network::httpstatus::kNotSent:
            return "the URL is not a valid web-socket URL";
        case network::httpstatus::kConnectFailed:
            return "could not connect (name lookup, TCP, TLS or proxy failed)";
        case network::httpstatus::kIOError:
            return "sending the upgrade or reading its answer failed";
        case network::httpstatus::kProxyAuthenticationRequired:
            return toolsupport::ProxyOptions::kCredentialsWanted;
        default:
            return "the server did not accept the upgrade (HTTP " + std::to_string(code) + ")";
    }
}

int ExitCodeOfUpgrade(network::HTTPStatusCode code) {
    if (code == network::httpstatus::kInvalidResponse) {
        return kNotHTTP;
    }
    if (code < 100) {
        return static_cast<int>(code);
    }
    return static_cast<int>(code / 100) * 10;
}

// What the receive loop saw last, and where its messages go.
struct Session {
    std::shared_ptr<network::AsyncWebSocket> socket;
    // Whether the service has stopped (its context is then gone), for the
    // output's thread, which asks for the next message through it.
    std::mutex serviceMutex;
    bool serviceStopped = false;
    std::unique_ptr<MessageOutput> output;
    std::atomic<bool> ended{false};
    std::atomic<network::ITCPSocket::ErrorCode> endCode{0};
};

// Keeps one Receive pending and queues every message for standard output
// until the stream ends; pauses while the output lags too far behind.
void ReceiveLoop(const std::shared_ptr<Session>& session) {
    session->socket->Receive([session](network::ITCPSocket::ErrorCode code,
                                       core::NonInitializingBuffer<unsigned char>&& payload) {
        if (code != network::ITCPSocket::kSuccess) {
            session->endCode = code;
            session->ended = true;
            return;
        }
        if (session->output->Push(std::move(payload))) {
            ReceiveLoop(session);
        }
    });
}

// Sends the complete lines of `pending` and keeps the rest.
void SendLines(const std::shared_ptr<Session>& session, network::AsyncService& service,
               std::string& pending) {
    std::size_t start = 0;
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n', start)) {
        auto line = std::make_shared<std::string>(pending.substr(start, end - start));
        boost::asio::post(service.GetIOContext(), [session, line] {
            session->socket->Send(
                network::WebSocketOperationCode::Text,
                core::NonInitializingBuffer<unsigned char>(
                    reinterpret_cast<const unsigned char*>(line->data()), line->size()),
                [](network::ITCPSocket::ErrorCode) {});
        });
        start = end + 1;
    }
    pending.erase(0, start);
}

// Feeds standard input to the socket until it ends, the output fails or the
// connection ends; whether this side is to close the connection (the input
// ended or the output failed first).
bool PumpInput(const std::shared_ptr<Session>& session, network::AsyncService& service) {
    std::string pending;
    char chunk[4096];
    while (!session->ended) {
        if (session->output->Error() != 0) {
            return true;
        }
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&input, 1, 100);
        if (ready < 0 && errno != EINTR) {
            return true;
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            if (!pending.empty()) {
                pending += '\n';
                SendLines(session, service, pending);
            }
            return true;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        SendLines(session, service, pending);
    }
    return false;
}

// Lets the socket go on the service's thread, then stops the service; the
// socket's close code (1006 when it cannot be had).
std::uint16_t Finish(network::AsyncService& service, const std::shared_ptr<Session>& session) {
    std::promise<std::uint16_t> closeCode;
    boost::asio::post(service.GetIOContext(), [session, &closeCode] {
        const auto code = session->socket->CloseCode();
        session->socket.reset();
        closeCode.set_value(code);
    });
    auto code = closeCode.get_future();
    const bool known = code.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> lock(session->serviceMutex);
        session->serviceStopped = true;
    }
    service.Stop();
    return known ? code.get() : 1006;
}

}  // namespace

int main(int argc, char** argv) {
    const auto usage = Usage(argc > 0 ? argv[0] : "net-ws");
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
    const std::string& url = options.url;
    if (const std::string refusal = network::URLRefusal(network::WithLowerCaseScheme(url));
        !refusal.empty()) {
        return usage.fail(url + ": " + UpgradeFailure(network::httpstatus::kNotSent, "") + ": " +
                              refusal,
                          network::httpstatus::kNotSent);
    }
    // No log is kept: the library's records are dropped before they are formatted.
    common::Logger::setEarlyLevel(common::loglevel::off);

    std::shared_ptr<network::AsyncService> service;
    auto session = std::make_shared<Session>();
    try {
        service = std::make_shared<network::AsyncService>(false, "net-ws", nullptr);
        session->socket = std::make_shared<network::AsyncWebSocket>(
            service, std::make_shared<network::AsyncSSLContext>(),
            options.proxy.MakeAuthenticator(), std::make_shared<network::NetworkConnectivity>());
        // The output asks for the next message on the service's thread,
        // while the service runs. The session owns the output, whose thread
        // ends before the session goes.
        Session* const owner = session.get();
        session->output = std::make_unique<MessageOutput>(
            stdout, [owner, weak = std::weak_ptr<Session>(session), &service] {
                std::lock_guard<std::mutex> lock(owner->serviceMutex);
                if (owner->serviceStopped) {
                    return;
                }
                boost::asio::post(service->GetIOContext(), [weak] {
                    if (auto session = weak.lock(); session && session->socket) {
                        ReceiveLoop(session);
                    }
                });
            });
    } catch (const std::system_error& failure) {
        // No thread for the service or the output (a limit of processes, say).
        return usage.fail(url + ": the upgrade was not sent: no thread could be started for it: " +
                              failure.code().message(),
                          network::httpstatus::kNotSent);
    }

    std::promise<network::HTTPStatusCode> upgraded;
    boost::asio::post(service->GetIOContext(), [session, &upgraded, &url] {
        session->socket->Connect(url, [session, &upgraded](network::HTTPStatusCode status,
                                                           std::unique_ptr<network::IHTTPResponse>) {
            if (status == 101) {
                ReceiveLoop(session);
            }
            upgraded.set_value(status);
        });
    });
    auto upgrade = upgraded.get_future();
    if (upgrade.wait_for(kHandshakeBound) != std::future_status::ready) {
        Finish(*service, session);
        return usage.fail(url + ": no answer to the upgrade within a minute", network::httpstatus::kIOError);
    }
    const auto status = upgrade.get();
    if (status != 101) {
        const std::string refusal = session->socket->UpgradeRefusal();
        Finish(*service, session);
        return usage.fail(url + ": " + UpgradeFailure(status, refusal), ExitCodeOfUpgrade(status));
    }

    if (PumpInput(session, *service)) {
        boost::asio::post(service->GetIOContext(), [session] { session->socket->Close([] {}); });
    }
    const auto deadline = std::chrono::steady_clock::now() + kHandshakeBound;
    while (!session->ended && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto closeCode = Finish(*service, session);
    session->output->Drain();
    std::cerr << "close code " << closeCode << "\n";
    if (const int failure = session->output->Error(); failure != 0) {
        return usage.fail(url + ": writing the messages failed: " + std::strerror(failure),
                          kWriteFailed);
    }
    if (!session->ended) {
        return usage.fail(url + ": no closing handshake within a minute", kBroken);
    }
    if (session->endCode != network::ITCPSocket::kClosed) {
        return usage.fail(url + ": the connection broke, or the server broke the protocol", kBroken);
    }
    if (closeCode == kNoCloseFrame) {
        return usage.fail(url + ": the connection ended without the server's Close frame", kBroken);
    }
    return 0;
}
