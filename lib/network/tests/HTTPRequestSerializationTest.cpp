#include <gtest/gtest.h>

#include "network/AsyncHTTPConnection.h"
#include "support/LogCapture.h"

namespace {

using network::AsyncHTTPConnection;
using network::AsyncHTTPRequest;

std::string Serialize(const std::string& urlText, const AsyncHTTPRequest& request, bool keepAlive,
                      const network::HTTPCookieStore* store = nullptr) {
    network::URL url;
    EXPECT_TRUE(network::ParseURL(urlText, url)) << urlText;
    url.ToLower();
    url.SetDefaultPort();
    AsyncHTTPConnection::AsyncHTTPRequestData data(url);
    AsyncHTTPConnection::SerializeRequest(data, request, store, keepAlive);
    return data.buffer;
}

AsyncHTTPRequest Request(const std::string& method, const std::string& body,
                         std::vector<std::pair<std::string, std::string>> headers = {}) {
    AsyncHTTPRequest request;
    request.SetMethod(method);
    request.SetBody(core::NonInitializingBuffer<unsigned char>(
        reinterpret_cast<const unsigned char*>(body.data()), body.size()));
    request.headers = std::move(headers);
    return request;
}

TEST(HTTPRequestSerializationTest, RequestsAreWrittenByteForByte) {
    network::HTTPCookieStore cookies;
    cookies.SetCookie("sid=7");
    network::URL origin;
    origin.host = "h";
    cookies.BindCallerCookies(origin);
    struct Case {
        const char* name;
        std::string url;
        AsyncHTTPRequest request;
        bool keepAlive;
        const network::HTTPCookieStore* store;
        std::string expected;
    };
    const Case cases[] = {
        {"default GET", "http://H/a?b=1", Request("", ""), true, nullptr,
         "GET /a?b=1 HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nConnection: keep-alive\r\n\r\n"},
        {"body makes a POST", "http://h/", Request("", "abc"), false, nullptr,
         "POST / HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nContent-Type: application/octet-stream\r\n"
         "Content-Length: 3\r\nConnection: close\r\n\r\nabc"},
        {"CONNECT", "http://h:443/", Request("CONNECT", "", {{"X-A", "1"}}), true, nullptr,
         "CONNECT h:443 HTTP/1.1\r\nHost: h:443\r\nProxy-Connection: keep-alive\r\nX-A: 1\r\n\r\n"},
        {"lower-case connect without keep-alive", "http://h:443/", Request("connect", ""), false,
         nullptr, "connect h:443 HTTP/1.1\r\nHost: h:443\r\n\r\n"},
        {"caller's Connection header", "http://h/", Request("GET", "", {{"connection", "Upgrade"}}),
         true, nullptr, "GET / HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nconnection: Upgrade\r\n\r\n"},
        {"empty Connection header", "http://h/", Request("GET", "", {{"Connection", ""}}), true,
         nullptr,
         "GET / HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nConnection: keep-alive\r\nConnection: \r\n\r\n"},
        {"https default port", "https://h:443/", Request("", ""), true, nullptr,
         "GET / HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nConnection: keep-alive\r\n\r\n"},
        {"https on port 80", "https://h:80/", Request("", ""), true, nullptr,
         "GET / HTTP/1.1\r\nHost: h:80\r\nAccept: */*\r\nConnection: keep-alive\r\n\r\n"},
        {"one cookie line, the caller's pairs first", "http://h/",
         Request("", "", {{"Cookie", "c=1"}, {"X", "y"}, {"cookie", "d=2"}}), true, &cookies,
         "GET / HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nConnection: keep-alive\r\nX: y\r\n"
         "Cookie: c=1; d=2; sid=7\r\n\r\n"},
        {"the caller's Host in place of the library's", "http://h:8080/",
         Request("", "", {{"X", "y"}, {"host", "x.test"}}), true, nullptr,
         "GET / HTTP/1.1\r\nHost: x.test\r\nAccept: */*\r\nConnection: keep-alive\r\nX: y\r\n\r\n"},
        {"the caller's length of the body, once", "http://h/",
         Request("PUT", "abc", {{"Content-Length", " 003"}}), false, nullptr,
         "PUT / HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nContent-Type: application/octet-stream\r\n"
         "Content-Length: 3\r\nConnection: close\r\n\r\nabc"},
        {"the caller's length of no body", "http://h/",
         Request("POST", "", {{"content-length", "0"}}), false, nullptr,
         "POST / HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nContent-Length: 0\r\n"
         "Connection: close\r\n\r\n"},
        {"the store's cookies stay with their host", "http://other/",
         Request("", "", {{"Cookie", "c=1"}}), true, &cookies,
         "GET / HTTP/1.1\r\nHost: other\r\nAccept: */*\r\nConnection: keep-alive\r\n"
         "Cookie: c=1\r\n\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Serialize(c.url, c.request, c.keepAlive, c.store), c.expected) << c.name;
    }
}

TEST(HTTPRequestSerializationTest, LineBreaksAndNulInTheHeadAreRefused) {
    const std::string bad[] = {"a\rb", "a\nb", std::string("a\0b", 3)};
    for (const auto& text : bad) {
        AsyncHTTPRequest requests[4];  // method, header name, header value, content type
        requests[0].SetMethod("GET" + text);
        requests[1].AddHeader(text, "v");
        requests[2].AddHeader("X", text);
        requests[3].SetContentType(text);
        for (int i = 0; i < 4; ++i) {
            std::string reason;
            EXPECT_FALSE(AsyncHTTPConnection::ValidateRequest(requests[i], reason))
                << i << " " << testing::PrintToString(text);
        }
    }
    std::string reason;
    EXPECT_TRUE(AsyncHTTPConnection::ValidateRequest(Request("PUT", "a\r\nb", {{"X", "y z"}}), reason));
}

// The message's framing is the library's: a method or header name that is
// not a token (it would end the request line or the name early, or be read
// as another method), a caller's Transfer-Encoding, a length other than the
// body's and a second Host or length are refused, each with its reason.
TEST(HTTPRequestSerializationTest, HeadersThatWouldBreakTheFramingAreRefused) {
    using Headers = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        Headers headers;
        std::string body;
        std::string refusal;  // a part of the reason; "" when accepted
        std::string method = "";
    };
    const Case cases[] = {
        {{}, "", "the method 'GE\tT' is not a token", "GE\tT"},
        {{}, "", "the method 'GE T' is not a token", "GE T"},
        {{}, "", "the method 'GE(T' is not a token", "GE(T"},
        {{}, "", "the method 'GE/T' is not a token", "GE/T"},
        {{}, "", "the method 'GET:' is not a token", "GET:"},
        {{}, "", "", "M-SEARCH"},
        {{}, "", "", "get"},
        {{{"X Y", "1"}}, "", "not a token"},
        {{{"X\tY", "1"}}, "", "not a token"},
        {{{"X:Y", "1"}}, "", "not a token"},
        {{{"", "1"}}, "", "not a token"},
        {{{"X-Ok_1!#$%&'*+.^`|~", "1"}}, "", ""},
        {{{"Transfer-Encoding", "chunked"}}, "abc", "Transfer-Encoding"},
        {{{"transfer-encoding", "identity"}}, "", "Transfer-Encoding"},
        {{{"Content-Length", "1"}}, "abc", "Content-Length"},
        {{{"Content-Length", "+3"}}, "abc", "Content-Length"},
        {{{"Content-Length", "3, 3"}}, "abc", "Content-Length"},
        {{{"Content-Length", "3"}, {"content-length", "3"}}, "abc", "Content-Length"},
        {{{"Content-Length", "1"}}, "", "Content-Length"},
        {{{"Content-Length", "3 "}}, "abc", ""},
        // A length of nothing, as a request without a body has it.
        {{{"Content-Length", "0"}}, "", ""},
        {{{"Content-Length", "00"}}, "", ""},
        {{{"Host", "a"}, {"HOST", "a"}}, "", "Host"},
        {{{"Host", "a"}}, "", ""},
    };
    for (const auto& c : cases) {
        std::string reason;
        const auto request = Request(c.method, c.body, c.headers);
        const bool accepted = AsyncHTTPConnection::ValidateRequest(request, reason);
        const std::string shown =
            testing::PrintToString(c.method) + testing::PrintToString(c.headers) + " " + reason;
        EXPECT_EQ(accepted, c.refusal.empty()) << shown;
        EXPECT_NE(reason.find(c.refusal), std::string::npos) << shown;
    }
}

TEST(HTTPRequestSerializationTest, CredentialsAreMaskedInTheLog) {
    const auto run = testsupport::runLogged([] {
        Serialize("http://h/", Request("", "", {{"Authorization", "Basic c2VjcmV0"},
                                                {"proxy-authorization", "Digest x"}, {"X", "shown"}}),
                  true);
        return 0;
    });
    // The head is one record; its line breaks are escaped in the log.
    const std::string text = run.text();
    EXPECT_TRUE(run.hasPart("debug", "AsyncHTTPRequestData", "HTTP request headers:")) << text;
    EXPECT_NE(text.find("\\nAuthorization: ***\\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\\nproxy-authorization: ***\\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\\nX: shown"), std::string::npos) << text;
    EXPECT_EQ(text.find("c2VjcmV0"), std::string::npos) << text;
    EXPECT_EQ(text.find("Digest x"), std::string::npos) << text;
}

}  // namespace
