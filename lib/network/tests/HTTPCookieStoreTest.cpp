#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "network/HTTPCookieStore.h"
#include "support/ChildProcess.h"
#include "support/HTTPTestPeer.h"
#include "support/Mutations.h"
#include "support/TempDir.h"

namespace {

using network::HTTPCookieStore;
using network::URL;

URL Url(const std::string& text) {
    URL url;
    EXPECT_TRUE(network::ParseURL(text, url)) << text;
    url.ToLower();
    url.SetDefaultPort();
    return url;
}

TEST(HTTPCookieStoreTest, CallerCookiesKeepTheirNameKeyedMatching) {
    HTTPCookieStore store;
    EXPECT_EQ(store.SetCookie("id=1; Path=/app; Secure"), HTTPCookieStore::kInserted);
    EXPECT_EQ(store.GetCookieHeader(Url("https://h/app/x")), "") << "not bound yet";
    store.BindCallerCookies(Url("https://h/"));
    EXPECT_EQ(store.GetCookieHeader(Url("https://h/app/x")), "id=1");
    EXPECT_EQ(store.GetCookieHeader(Url("http://h/app/x")), "");
    EXPECT_EQ(store.GetCookieHeader(Url("https://h/ap")), "");

    EXPECT_EQ(store.SetCookie("id=2; Domain=b.example"), HTTPCookieStore::kReplaced);
    store.BindCallerCookies(Url("http://a.b.example/"));
    struct Host { const char* url; bool sent; };
    for (const Host& h : {Host{"http://b.example/", true}, Host{"http://a.b.example/", true},
                          Host{"http://xb.example/", false}, Host{"http://example/", false}}) {
        EXPECT_EQ(store.GetCookieHeader(Url(h.url)) == "id=2", h.sent) << h.url;
    }
    EXPECT_EQ(store.SetCookie("flag"), HTTPCookieStore::kInserted);
    EXPECT_EQ(store.DeleteCookie("id"), HTTPCookieStore::kErased);
    EXPECT_EQ(store.DeleteCookie("id"), HTTPCookieStore::kUnchanged);
    store.BindCallerCookies(Url("http://first/"));
    store.BindCallerCookies(Url("http://other/"));
    EXPECT_EQ(store.GetCookieHeader(Url("http://first/")), "flag=flag");
    EXPECT_EQ(store.GetCookieHeader(Url("http://other/")), "") << "bound to the first origin";
    EXPECT_EQ(store.SetCookie("x=1\r\nInjected: yes"), HTTPCookieStore::kUnchanged);
}

// A caller's cookie is bound to the origin of the next request: host-only
// without a domain, and a domain is checked as a response's would be.
TEST(HTTPCookieStoreTest, CallerCookiesGoOnlyWhereTheirOriginMaySpeak) {
    struct Case {
        const char* setCookie;
        const char* origin;
        const char* to;
        bool sent;
    };
    const Case cases[] = {
        {"a=1", "http://a.example.org/", "http://a.example.org/x", true},
        {"a=1", "http://a.example.org/", "http://b.example.org/", false},
        {"a=1", "http://a.example.org/", "http://x.a.example.org/", false},
        {"a=1", "http://127.0.0.1/", "http://localhost/", false},
        {"a=1; Domain=example.org", "http://a.example.org/", "http://b.example.org/", true},
        {"a=1; Domain=.EXAMPLE.org", "http://a.example.org/", "http://example.org/", true},
        {"a=1; Domain=example.org", "http://a.example.org/", "http://badexample.org/", false},
        {"a=1; Domain=other.org", "http://a.example.org/", "http://other.org/", false},
        {"a=1; Domain=org", "http://a.example.org/", "http://b.org/", false},
        {"a=1; Domain=co.uk", "http://a.co.uk/", "http://b.co.uk/", false},
        {"a=1; Domain=github.io", "http://a.github.io/", "http://b.github.io/", false},
    };
    for (const auto& c : cases) {
        HTTPCookieStore store;
        store.SetCookie(c.setCookie);
        store.BindCallerCookies(Url(c.origin));
        EXPECT_EQ(store.GetCookieHeader(Url(c.to)) == "a=1", c.sent)
            << c.setCookie << " bound to " << c.origin << ", to " << c.to;
    }
}

TEST(HTTPCookieStoreTest, ResponseCookiesStayWithTheirOrigin) {
    struct Case {
        const char* setCookie;
        const char* from;
        const char* to;
        bool sent;
    };
    const Case cases[] = {
        {"a=1", "http://a.example/", "http://a.example/", true},
        {"a=1", "http://a.example/", "http://b.example/", false},
        {"a=1", "http://a.example/", "http://x.a.example/", false},  // host-only
        {"a=1; Domain=example.org", "http://a.example.org/", "http://b.example.org/", true},
        {"a=1; Domain=.example.org", "http://a.example.org/", "http://example.org/", true},
        {"a=1; Domain=example.org", "http://a.example.org/", "http://badexample.org/", false},
        {"a=1; Domain=example", "http://a.example/", "http://b.example/", false},  // a top level
        {"a=1; Domain=com", "http://a.com/", "http://b.com/", false},
        {"a=1; Domain=co.uk", "http://a.co.uk/", "http://b.co.uk/", false},
        {"a=1; Domain=github.io", "http://a.github.io/", "http://b.github.io/", false},
        {"a=1; Domain=github.io", "http://github.io/", "http://github.io/", true},  // its own host
        {"a=1; Domain=localhost", "http://localhost/", "http://localhost/", true},
        {"a=1; Domain=other.test", "http://a.example/", "http://other.test/", false},
        {"a=1; Domain=a.example", "http://example/", "http://a.example/", false},
        {"a=1; Domain=0.1", "http://127.0.0.1/", "http://127.0.0.1/", false},
        {"a=1; Path=/app", "http://h/", "http://h/app/x", true},
        {"a=1; Path=/app", "http://h/", "http://h/apple", false},
        {"a=1", "http://h/dir/page", "http://h/dir/other", true},
        {"a=1", "http://h/dir/page", "http://h/", false},
        {"a=1; Secure", "https://h/", "http://h/", false},
        {"a=1; Secure", "https://h/", "https://h/", true},
        {"a=1; Secure", "http://h/", "https://h/", false},  // not from plain http
        {"a=1; Max-Age=0", "http://h/", "http://h/", false},
        {"a=1; Max-Age=-5", "http://h/", "http://h/", false},
        {"a=1; Max-Age=60; Expires=Thu, 01 Jan 1970 00:00:00 GMT", "http://h/", "http://h/", true},
        {"a=1; Expires=Thu, 01-Jan-1970 00:00:00 GMT", "http://h/", "http://h/", false},
        {"a=1; Expires=Sun Nov  6 08:49:37 1994", "http://h/", "http://h/", false},
        {"novalue", "http://h/", "http://h/", false},
        {"=1", "http://h/", "http://h/", false},
    };
    for (const auto& c : cases) {
        HTTPCookieStore store;
        store.SetCookieFromResponse(c.setCookie, Url(c.from));
        EXPECT_EQ(store.GetCookieHeader(Url(c.to)) == "a=1", c.sent)
            << c.setCookie << " from " << c.from << " to " << c.to;
    }
}

TEST(HTTPCookieStoreTest, ResponseCookiesAreKeyedByNameDomainAndPath) {
    HTTPCookieStore store;
    const URL from = Url("http://a.example/x/y");
    EXPECT_EQ(store.SetCookieFromResponse("s=1; Path=/", from), HTTPCookieStore::kInserted);
    EXPECT_EQ(store.SetCookieFromResponse("s=2; Path=/x", from), HTTPCookieStore::kInserted);
    EXPECT_EQ(store.SetCookieFromResponse("s=3; Path=/x", from), HTTPCookieStore::kReplaced);
    EXPECT_EQ(store.GetCookieHeader(from), "s=3; s=1");
    EXPECT_EQ(store.SetCookieFromResponse("s=; Path=/x; Max-Age=0", from), HTTPCookieStore::kErased);
    EXPECT_EQ(store.GetCookieHeader(from), "s=1");
}

TEST(HTTPCookieStoreTest, TheStoreIsCapped) {
    HTTPCookieStore store;
    const URL from = Url("http://h/");
    for (std::size_t i = 0; i < HTTPCookieStore::kMaxCookies + 50; ++i) {
        store.SetCookieFromResponse("c" + std::to_string(i) + "=v", from);
    }
    EXPECT_EQ(store.Size(), HTTPCookieStore::kMaxCookies);
    const std::string header = store.GetCookieHeader(from);
    EXPECT_EQ(header.find("c0=v"), std::string::npos) << "the oldest goes first";
    EXPECT_NE(header.find("c1049=v"), std::string::npos);
    EXPECT_EQ(store.SetCookieFromResponse("big=" + std::string(5000, 'x'), from),
              HTTPCookieStore::kUnchanged);
}

TEST(HTTPCookieStoreTest, DatesAreReadAsCookieDates) {
    using namespace std::chrono;
    const auto at = [](int y, unsigned m, unsigned d, int hh, int mm, int ss) {
        return time_point_cast<microseconds>(sys_days(year(y) / month(m) / day(d)) + hours(hh) +
                                             minutes(mm) + seconds(ss));
    };
    struct Case { const char* text; std::optional<network::HTTPCookie::TimePoint> expected; };
    const Case cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", at(1994, 11, 6, 8, 49, 37)},
        {"Sunday, 06-Nov-94 08:49:37 GMT", at(1994, 11, 6, 8, 49, 37)},
        {"Sun Nov  6 08:49:37 1994", at(1994, 11, 6, 8, 49, 37)},
        {"Thu, 01 Jan 70 00:00:00 GMT", at(1970, 1, 1, 0, 0, 0)},
        {"Fri, 01 Jan 2044 1:2:3 GMT", at(2044, 1, 1, 1, 2, 3)},
        {"Wed, 31 Feb 2024 10:00:00 GMT", std::nullopt},
        {"Wed, 10 Feb 1600 10:00:00 GMT", std::nullopt},
        {"Wed, 10 Feb 2024 24:00:00 GMT", std::nullopt},
        {"Wed, 10 Feb 2024", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HTTPCookieStore::ParseExpires(c.text), c.expected) << c.text;
    }
}

// Random cookie texts for a bounded time: the store never grows past its
// cap, and what it sends never holds a line break.
TEST(HTTPCookieStoreTest, FuzzedCookiesKeepTheStoreSound) {
    HTTPCookieStore store;
    const URL urls[] = {Url("http://a.example/p/q"), Url("https://b.a.example/"), Url("http://1.2.3.4/")};
    const std::size_t runs = testsupport::mutateFor(
        std::chrono::seconds(2), {"a=b; Domain=.a.example; Path=/p; Max-Age=9", "c=d; Expires=Jan"},
        "ab=;. /-:,0123456789\r\n\tDomainPathExpiresMax-AgeSecureGMTJan", 12,
        [&](const std::string& text, std::mt19937& random) {
            const URL& url = urls[random() % std::size(urls)];
            if (random() % 2) {
                store.SetCookieFromResponse(text, url);
            } else {
                store.SetCookie(text);
            }
            HTTPCookieStore::ParseExpires(text);
            const std::string header = store.GetCookieHeader(urls[random() % std::size(urls)]);
            EXPECT_EQ(header.find_first_of("\r\n"), std::string::npos) << text;
            EXPECT_LE(store.Size(), HTTPCookieStore::kMaxCookies);
            return !::testing::Test::HasFailure();
        });
    EXPECT_GT(runs, 1000u);
}

// Where a response's cookie goes next, decided by this store and by curl's
// cookie engine (which reads the same public-suffix list) for the same
// names, each resolved by curl to the scripted peer on loopback.
TEST(HTTPCookieStoreTest, ResponseCookiesGoWhereCurlSendsThem) {
    struct Case {
        const char* setCookie;
        const char* fromHost;
        const char* fromPath;
        const char* toHost;
        const char* toPath;
        bool sent;
    };
    const Case cases[] = {
        {"a=1; Domain=example.org", "a.example.org", "/", "b.example.org", "/", true},
        {"a=1; Domain=example.org", "a.example.org", "/", "badexample.org", "/", false},
        {"a=1; Domain=org", "a.example.org", "/", "b.example.org", "/", false},
        {"a=1; Domain=co.uk", "a.co.uk", "/", "b.co.uk", "/", false},
        {"a=1; Domain=github.io", "a.github.io", "/", "b.github.io", "/", false},
        {"a=1; Domain=other.org", "a.example.org", "/", "other.org", "/", false},
        {"a=1", "a.example.org", "/", "x.a.example.org", "/", false},
        {"a=1", "a.example.org", "/", "a.example.org", "/x", true},
        {"a=1; Path=/app", "h.example.org", "/", "h.example.org", "/app/x", true},
        {"a=1; Path=/app", "h.example.org", "/", "h.example.org", "/apple", false},
        {"a=1", "h.example.org", "/dir/page", "h.example.org", "/dir/other", true},
        {"a=1", "h.example.org", "/dir/page", "h.example.org", "/", false},
    };
    for (const auto& c : cases) {
        HTTPCookieStore store;
        store.SetCookieFromResponse(c.setCookie, Url(std::string("http://") + c.fromHost + c.fromPath));
        EXPECT_EQ(store.GetCookieHeader(Url(std::string("http://") + c.toHost + c.toPath)) == "a=1",
                  c.sent)
            << c.setCookie << " from " << c.fromHost << c.fromPath << " to " << c.toHost << c.toPath;

        networktest::HTTPTestPeer peer(
            {{{"HTTP/1.1 200 OK\r\nSet-Cookie: " + std::string(c.setCookie) +
               "\r\nContent-Length: 0\r\n\r\n"}},
             {{"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}}});
        testsupport::TempDir folder("quorvane-curl-cookies");
        const std::string jar = folder.file("jar");
        const auto curl = [&](const std::string& host, const std::string& path) {
            const std::string target = host + ":" + std::to_string(peer.port());
            return testsupport::runCommand({"/usr/bin/curl", "-s", "-o", "/dev/null", "-m", "10", "-b",
                                            jar, "-c", jar, "--resolve", target + ":127.0.0.1",
                                            "http://" + target + path});
        };
        EXPECT_EQ(curl(c.fromHost, c.fromPath).exitCode, 0);
        EXPECT_EQ(curl(c.toHost, c.toPath).exitCode, 0);
        const auto requests = peer.requests();
        ASSERT_EQ(requests.size(), 2u) << c.setCookie;
        EXPECT_EQ(requests[1].second.find("Cookie: a=1") != std::string::npos, c.sent)
            << "curl: " << c.setCookie << " from " << c.fromHost << c.fromPath << " to " << c.toHost
            << c.toPath;
    }
}

}  // namespace
