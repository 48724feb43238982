#include "HttpQueryFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "support/ChildProcess.h"

void QueryOutcome::watch(IHttpQuery& query, bool progress) {
    query.setErrorHandler(
        [this](IHttpQuery::Error error) { add("error:" + std::to_string(error)); });
    query.setFinishedHandler([this](bool success) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(success ? "finished:1" : "finished:0");
            finished_ = true;
        }
        if (onFinished) onFinished();
    });
    query.setSslErrorsHandler([this](std::vector<int> codes) {
        std::string text = "ssl";
        for (const int code : codes) text += (text.size() > 3 ? "," : ":") + std::to_string(code);
        add(text);
    });
    if (progress) {
        query.setDownloadProgressHandler([this](IHttpQuery::ProgressInfo info) {
            std::lock_guard lock(mutex_);
            downloads_.push_back(std::move(info));
        });
        query.setUploadProgressHandler([this](IHttpQuery::ProgressInfo info) {
            std::lock_guard lock(mutex_);
            uploads_.push_back(std::move(info));
        });
    }
}

void HttpQueryFixture::TearDown() {
    platform_.reset();
    // The application proxy is process-wide; leave none behind.
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    server_.reset();
}

void HttpQueryFixture::startServer(bool tls) {
    std::vector<std::string> arguments{"--journal", scratch_.file("journal"), "--root", root()};
    if (tls) {
        const auto openssl = testsupport::runCommand(
            {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=quorvane.test",
             "-keyout", scratch_.file("key.pem"), "-out", scratch_.file("cert.pem")});
        ASSERT_TRUE(openssl.exited && openssl.exitCode == 0) << openssl.errors;
        arguments.insert(arguments.end(),
                         {"--cert", scratch_.file("cert.pem"), "--key", scratch_.file("key.pem")});
    }
    server_ = std::make_unique<testsupport::ScriptServer>(
        testsupport::testSupportDirectory() + "/http_test_server.py", arguments);
    ASSERT_TRUE(server_->ready()) << "the test web server did not start";
}

std::string HttpQueryFixture::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(httpPort()) + path;
}

std::string HttpQueryFixture::httpsUrl(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(server_->readyNumber("https").value_or(0)) + path;
}

QueryHandle HttpQueryFixture::query() {
    if (!platform_) startPlatform();
    return platform_->createQuery();
}

bool HttpQueryFixture::executeAndWait(IHttpQuery& request, QueryOutcome& outcome,
                                      const std::string& requestUrl) {
    outcome.watch(request);
    request.setUrl(requestUrl);
    request.execute();
    return runUntilFinished(outcome);
}

std::vector<QJsonObject> HttpQueryFixture::journal() const {
    std::vector<QJsonObject> entries;
    std::ifstream in(scratch_.file("journal"));
    for (std::string line; std::getline(in, line);) {
        entries.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
    }
    return entries;
}

std::vector<QJsonObject> HttpQueryFixture::requests(const std::string& path) const {
    std::vector<QJsonObject> found;
    for (const auto& entry : journal()) {
        if (entry.value("path").toString().toStdString() == path && entry.contains("method")) {
            found.push_back(entry);
        }
    }
    return found;
}

bool HttpQueryFixture::waitForJournal(const QString& key, long count) const {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    const auto seen = [&] {
        const auto entries = journal();
        return count <=
               std::count_if(entries.begin(), entries.end(),
                             [&](const QJsonObject& entry) { return entry.contains(key); });
    };
    while (!seen() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    return seen();
}

std::optional<std::string> HttpQueryFixture::header(const QJsonObject& entry,
                                                    const std::string& name) {
    for (const auto& pair : entry.value("headers").toArray()) {
        const auto item = pair.toArray();
        if (item.at(0).toString().compare(QString::fromStdString(name), Qt::CaseInsensitive) == 0) {
            return item.at(1).toString().toStdString();
        }
    }
    return std::nullopt;
}

std::string HttpQueryFixture::body(const QJsonObject& entry) {
    return QByteArray::fromHex(entry.value("body").toString().toLatin1()).toStdString();
}

void writeTestFile(const std::string& path, std::size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size + 8, '\0');
    for (std::size_t at = 0; at < size; at += 8) {
        const auto word = random();
        std::memcpy(&bytes[at], &word, 8);
    }
    ASSERT_TRUE(std::ofstream(path, std::ios::binary).write(bytes.data(), size));
}

std::string fileSha256(const std::string& path) {
    QFile file(QString::fromStdString(path));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file)
               ? hash.result().toHex().toStdString()
               : "";
}

std::uint16_t unusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool returnsWithin(const std::function<void()>& call, std::chrono::milliseconds timeout) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    std::thread([call, done] {
        call();
        done->set_value();
    }).detach();
    if (future.wait_for(timeout) == std::future_status::ready) return true;
    ADD_FAILURE() << "the call did not return within " << timeout.count() << " ms";
    std::fflush(nullptr);
    std::_Exit(1);
}
