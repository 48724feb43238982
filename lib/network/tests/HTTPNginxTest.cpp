#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <fstream>
#include <thread>
#include <filesystem>

#include "network/Hex.h"
#include "support/HTTPTestPeer.h"

namespace {

using networktest::Fetch;
using networktest::OnDemandConnection;
using networktest::SocketTestLoop;

std::string Sha256(const unsigned char* data, std::size_t size) {
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr);
    return network::ToHex(digest, length);
}

// nginx on loopback, serving files the test writes into its root.
class HTTPNginxTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(folder_.file("root"));
        text_.clear();
        for (int i = 0; i < 400; ++i) {
            text_ += "line " + std::to_string(i) + " of a text that compresses well\n";
        }
        std::ofstream(folder_.file("root/text.txt")) << text_;
    }

    void Start() {
        server_ = std::make_unique<testsupport::ScriptServer>(
            std::string(NETWORK_TEST_SUPPORT_DIR) + "/nginx_test_server.py",
            std::vector<std::string>{folder_.path(), folder_.file("root")});
        port_ = server_->readyNumber("port").value_or(0);
        ASSERT_NE(port_, 0) << "nginx did not start";
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    // The access log's lines "<connection> <request number> <request line>",
    // once it holds `count` of them (nginx writes each after its answer).
    std::vector<std::string> accessLog(std::size_t count) const {
        std::vector<std::string> lines;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (lines.size() < count && std::chrono::steady_clock::now() < deadline) {
            lines.clear();
            std::ifstream log(folder_.file("access.log"));
            for (std::string line; std::getline(log, line);) {
                lines.push_back(line);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return lines;
    }

    testsupport::TempDir folder_{"quorvane-http-nginx"};
    std::unique_ptr<testsupport::ScriptServer> server_;
    int port_ = 0;
    std::string text_;
    SocketTestLoop loop_;
};

// One nginx run: kept-alive requests, a gzip answer and a redirect chain.
TEST_F(HTTPNginxTest, KeptAliveRequestsCompressionAndRedirectsOnOneConnection) {
    Start();
    auto connection = OnDemandConnection(loop_);
    for (int i = 0; i < 2; ++i) {
        const auto fetched = Fetch(loop_, connection, url("/text.txt"));
        EXPECT_EQ(fetched.code, 200u);
        EXPECT_EQ(fetched.body, text_);
    }
    auto gzip = connection->CreateRequest();
    gzip->AddHeader("Accept-Encoding", "gzip");
    const auto compressed = Fetch(loop_, connection, url("/text.txt"), std::move(gzip));
    ASSERT_TRUE(compressed.response);
    EXPECT_EQ(compressed.response->GetHeader("Content-Encoding"), "gzip");
    EXPECT_EQ(compressed.response->GetHeader("Transfer-Encoding"), "chunked");
    EXPECT_EQ(compressed.body, text_);
    auto post = connection->CreateRequest();
    post->SetMethod("POST");
    const auto moved = Fetch(loop_, connection, url("/r301"), std::move(post));
    EXPECT_EQ(moved.code, 200u);
    EXPECT_EQ(moved.body, text_);
    const auto lines = accessLog(8);
    ASSERT_EQ(lines.size(), 8u);
    const std::string id = lines[0].substr(0, lines[0].find(' '));
    const char* expected[] = {"GET /text.txt",  "GET /text.txt", "GET /text.txt", "POST /r301",
                              "POST /r302",     "POST /r303",    "GET /r307",     "GET /text.txt"};
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(lines[i], id + " " + std::to_string(i + 1) + " " + expected[i] + " HTTP/1.1");
    }
}

TEST_F(HTTPNginxTest, ALargeFileArrivesWhole) {
    constexpr std::size_t kSize = 256u << 20;
    std::string expected;
    {
        std::vector<std::uint64_t> data(kSize / 8);
        std::uint64_t state = 0x9e3779b97f4a7c15ULL;
        for (auto& word : data) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
        expected = Sha256(bytes, kSize);
        std::ofstream(folder_.file("root/big.bin"), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(kSize));
    }
    Start();
    auto connection = OnDemandConnection(loop_);
    bool done = false;
    network::HTTPStatusCode code = 0;
    std::string digest;
    std::size_t size = 0;
    connection->Submit(url("/big.bin"), [&](network::HTTPStatusCode c,
                                            std::unique_ptr<network::IHTTPResponse> response) {
        done = true;
        code = c;
        if (response) {
            const auto body = response->TakeBody();
            size = body.size();
            digest = Sha256(body.data(), body.size());
        }
    });
    ASSERT_TRUE(loop_.runUntil([&] { return done; }, std::chrono::seconds(90)));
    EXPECT_EQ(code, 200u);
    EXPECT_EQ(size, kSize);
    EXPECT_EQ(digest, expected);
}

}  // namespace
