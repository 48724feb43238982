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
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "support/ChildProcess.h"

void QueryOutcome::watch(IHttpQuery& query, bool progress) {
    query.setErrorHandler([this](IHttpQuery::Error error) {
        std::lock_guard lock(mutex_);
        events_.push_back("error:" + std::to_string(error));
    });
    query.setFinishedHandler([this](bool success) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::string("finished:") + (success ? "1" : "0"));
            finished_ = true;
        }
        if (onFinished) {
            onFinished();
        }
    });
    query.setSslErrorsHandler([this](std::vector<int> codes) {
        std::string text = "ssl:";
        for (std::size_t i = 0; i < codes.size(); ++i) {
            text += (i > 0 ? "," : "") + std::to_string(codes[i]);
        }
        std::lock_guard lock(mutex_);
        events_.push_back(text);
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

std::vector<std::string> QueryOutcome::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

bool QueryOutcome::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

std::vector<IHttpQuery::ProgressInfo> QueryOutcome::downloads() const {
    std::lock_guard lock(mutex_);
    return downloads_;
}

std::vector<IHttpQuery::ProgressInfo> QueryOutcome::uploads() const {
    std::lock_guard lock(mutex_);
    return uploads_;
}

void HttpQueryFixture::SetUp() {
    environment_.clearProxies();
    journalPath_ = scratch_.file("journal.jsonl");
}

void HttpQueryFixture::TearDown() {
    platform_.reset();
    // The application proxy is process-wide; leave none behind.
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    server_.reset();
}

void HttpQueryFixture::startServer(bool tls) {
    std::vector<std::string> arguments{"--journal", journalPath_, "--root", root()};
    if (tls) {
        ASSERT_TRUE(makeSelfSignedCertificate(scratch()));
        arguments.insert(arguments.end(),
                         {"--cert", scratch_.file("cert.pem"), "--key", scratch_.file("key.pem")});
    }
    server_ = std::make_unique<testsupport::ScriptServer>(
        testsupport::testSupportDirectory() + "/http_test_server.py", arguments);
    ASSERT_TRUE(server_->ready()) << "the test web server did not start";
}

void HttpQueryFixture::startPlatform() {
    platform_ = QtCorePlatform::create(scheduler_, &storage_, "http-query-test");
}

std::uint16_t HttpQueryFixture::httpPort() const {
    return static_cast<std::uint16_t>(server_->readyNumber("http").value_or(0));
}

std::string HttpQueryFixture::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(httpPort()) + path;
}

std::string HttpQueryFixture::httpsUrl(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(server_->readyNumber("https").value_or(0)) + path;
}

QueryHandle HttpQueryFixture::query() {
    if (!platform_) {
        startPlatform();
    }
    return platform_->createQuery();
}

bool HttpQueryFixture::runUntilFinished(const QueryOutcome& outcome,
                                        std::chrono::milliseconds timeout) {
    return scheduler_.runUntil([&] { return outcome.finished(); }, timeout);
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
    std::ifstream in(journalPath_);
    std::string line;
    while (std::getline(in, line)) {
        const auto document = QJsonDocument::fromJson(QByteArray::fromStdString(line));
        if (document.isObject()) {
            entries.push_back(document.object());
        }
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

bool HttpQueryFixture::waitForJournal(
    const std::function<bool(const std::vector<QJsonObject>&)>& condition,
    std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition(journal())) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
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
    std::vector<std::uint64_t> block(1 << 16);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, file);
    while (size > 0) {
        for (auto& word : block) {
            word = random();
        }
        const std::size_t bytes = std::min(size, block.size() * sizeof(std::uint64_t));
        ASSERT_EQ(bytes, std::fwrite(block.data(), 1, bytes, file));
        size -= bytes;
    }
    std::fclose(file);
}

std::string fileSha256(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex().toStdString();
}

bool makeSelfSignedCertificate(const std::string& folder) {
    testsupport::CommandOptions options;
    options.timeout = std::chrono::seconds(30);
    const auto run = testsupport::runCommand(
        {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
         "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=quorvane.test",
         "-keyout", folder + "/key.pem", "-out", folder + "/cert.pem"},
        options);
    return run.exited && run.exitCode == 0;
}

std::uint16_t unusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
    if (future.wait_for(timeout) == std::future_status::ready) {
        return true;
    }
    ADD_FAILURE() << "the call did not return within " << timeout.count() << " ms";
    std::fflush(nullptr);
    std::_Exit(1);
}
