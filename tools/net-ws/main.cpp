// net-ws: talks to a web-socket server through the network library.
//
//   net-ws URL
//
// Runs the library's service on a thread of its own, opens URL (ws or wss),
// sends each line of standard input as a text message and prints each
// message received as a line on standard output. At the end of the input it
// closes the connection; the close code goes to standard error. Exit code: 0
// after a closing handshake (begun by either side); 7 when the connection
// broke or the server broke the protocol; for a refused upgrade the
// library's failure code (1 bad URL, 3 connect failed, 5 sending or reading
// failed) or 10 times the status class (40 for 4xx, 50 for 5xx); 2 for a
// wrong command line.

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/post.hpp>

#include "network/AsyncWebSocket.h"
#include "network/IHTTPResponse.h"
#include "network/NetworkConnectivity.h"

namespace {

constexpr int kUsageError = 2;
// The opening handshake and the closing one each take at most the socket's
// time-out; this bounds them from outside as well.
constexpr auto kHandshakeBound = std::chrono::seconds(60);

void PrintUsage(std::ostream& out, const char* program) {
    out << "usage: " << program << " URL\n"
        << "Sends each line of standard input to the web socket at URL (ws:// or wss://) as a text\n"
        << "message and prints each message received as a line; the close code goes to standard error.\n";
}

int ExitCodeOfUpgrade(network::HTTPStatusCode code) {
    if (code < 100) {
        return static_cast<int>(code);
    }
    return static_cast<int>(code / 100) * 10;
}

// What the receive loop saw last.
struct Session {
    std::shared_ptr<network::AsyncWebSocket> socket;
    std::atomic<bool> ended{false};
    std::atomic<network::ITCPSocket::ErrorCode> endCode{0};
};

// Keeps one Receive pending and prints every message until the stream ends.
void ReceiveLoop(const std::shared_ptr<Session>& session) {
    session->socket->Receive([session](network::ITCPSocket::ErrorCode code,
                                       core::NonInitializingBuffer<unsigned char>&& payload) {
        if (code != network::ITCPSocket::kSuccess) {
            session->endCode = code;
            session->ended = true;
            return;
        }
        std::fwrite(payload.data(), 1, payload.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        ReceiveLoop(session);
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

// Feeds standard input to the socket until it ends or the connection does;
// whether the input ended first.
bool PumpInput(const std::shared_ptr<Session>& session, network::AsyncService& service) {
    std::string pending;
    char chunk[4096];
    while (!session->ended) {
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
    service.Stop();
    return known ? code.get() : 1006;
}

}  // namespace

int main(int argc, char** argv) {
    const char* program = argc > 0 ? argv[0] : "net-ws";
    std::optional<std::string> url;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            PrintUsage(std::cout, program);
            return 0;
        }
        if (url || argument.empty() || argument[0] == '-') {
            std::cerr << program << ": unexpected argument '" << argument << "'\n";
            PrintUsage(std::cerr, program);
            return kUsageError;
        }
        url = argument;
    }
    if (!url) {
        std::cerr << program << ": a URL is required\n";
        PrintUsage(std::cerr, program);
        return kUsageError;
    }

    auto service = std::make_shared<network::AsyncService>(false, "net-ws", nullptr);
    auto session = std::make_shared<Session>();
    session->socket = std::make_shared<network::AsyncWebSocket>(
        service, std::make_shared<network::AsyncSSLContext>(), nullptr,
        std::make_shared<network::NetworkConnectivity>());

    std::promise<network::HTTPStatusCode> upgraded;
    boost::asio::post(service->GetIOContext(), [session, &upgraded, &url] {
        session->socket->Connect(*url, [session, &upgraded](network::HTTPStatusCode status,
                                                            std::unique_ptr<network::IHTTPResponse>) {
            if (status == 101) {
                ReceiveLoop(session);
            }
            upgraded.set_value(status);
        });
    });
    auto upgrade = upgraded.get_future();
    if (upgrade.wait_for(kHandshakeBound) != std::future_status::ready) {
        std::cerr << program << ": " << *url << ": no answer to the upgrade\n";
        Finish(*service, session);
        return network::httpstatus::kIOError;
    }
    const auto status = upgrade.get();
    if (status != 101) {
        std::cerr << program << ": " << *url << ": error " << status << "\n";
        Finish(*service, session);
        return ExitCodeOfUpgrade(status);
    }

    if (PumpInput(session, *service)) {
        boost::asio::post(service->GetIOContext(), [session] { session->socket->Close([] {}); });
    }
    const auto deadline = std::chrono::steady_clock::now() + kHandshakeBound;
    while (!session->ended && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::cerr << "close code " << Finish(*service, session) << "\n";
    if (!session->ended) {
        return network::ITCPSocket::kReadFailed;
    }
    return session->endCode == network::ITCPSocket::kClosed ? 0 : static_cast<int>(session->endCode.load());
}
