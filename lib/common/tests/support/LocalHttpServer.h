#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A small HTTP/1.1 server on 127.0.0.1 with a free port, for tests. It
// answers each request with the response set for its path (404 otherwise)
// and closes the connection. A silent server listens but never accepts, so
// that clients connect and then wait for an answer that never comes.
class LocalHttpServer {
public:
    struct Response {
        int status = 200;
        std::string body;
        std::string contentType = "text/plain";
    };

    enum class Mode { Serve, Silent };

    explicit LocalHttpServer(Mode mode = Mode::Serve);
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    void setResponse(const std::string& path, Response response);

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string url(const std::string& path) const;

    // The paths requested so far, in order.
    std::vector<std::string> requestedPaths() const;

private:
    void serve();
    void answer(int connection);

    int listener_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, Response> responses_;
    std::vector<std::string> requested_;
    std::thread thread_;
};

}  // namespace testsupport
