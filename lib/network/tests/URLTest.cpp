#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/URL.h"

namespace {

using network::URL;
using Query = std::vector<std::pair<std::string, std::string>>;

TEST(URLTest, ParsesTheAcceptedGrammarOnly) {
    struct Case {
        std::string text;
        std::string scheme, host;
        std::uint32_t port;
        std::string path;
        Query query;
        std::string fragment;
    };
    const std::vector<Case> cases = {
        {"http://h", "http", "h", 0, "", {}, ""},
        {"wss://a.b-c:443/", "wss", "a.b-c", 443, "/", {}, ""},
        {"ftps://h/x", "ftps", "h", 0, "/x", {}, ""},
        {"https://a_b/", "https", "a", 0, "_b/", {}, ""},
        {"http://h:8080/a/b?x=1&y#top", "http", "h", 8080, "/a/b", {{"x", "1"}, {"y", ""}}, "top"},
        {"http://h:/x", "http", "h", 0, ":/x", {}, ""},
        {"http://h:99999/x", "http", "h", 99999, "/x", {}, ""},
        {"http://h:4294967296/x", "http", "h", 0, ":4294967296/x", {}, ""},
        {"http://h/p?k=%41%2f", "http", "h", 0, "/p", {{"k", "A/"}}, ""},
        {"http://h/%zz?a=", "http", "h", 0, "/%zz", {{"a", ""}}, ""},
        {"http://h/#", "http", "h", 0, "/", {}, ""},
        {"http://h/p#a/b?c", "http", "h", 0, "/p", {}, "a/b?c"},
        {"http://u@h/", "http", "u", 0, "@h/", {}, ""},
    };
    for (const auto& c : cases) {
        URL url;
        ASSERT_TRUE(network::ParseURL(c.text, url)) << c.text;
        EXPECT_EQ(c.scheme, url.scheme) << c.text;
        EXPECT_EQ(c.host, url.host) << c.text;
        EXPECT_EQ(c.port, url.port) << c.text;
        EXPECT_EQ(c.path, url.path) << c.text;
        EXPECT_EQ(c.query, url.query) << c.text;
        EXPECT_EQ(c.fragment, url.fragment) << c.text;
    }
}

TEST(URLTest, RejectsWhatTheGrammarDoesNotAccept) {
    for (const std::string text :
         {"HTTP://h/", "mailto://x", "http://a b/", "http:/h", "http://", "http://[::1]/",
          "http://h/?", "http://h/?a=1&", "http://h/?a=b=c", "http://h/p?k=%4", "http://h/p q",
          "http://h/#a b", "http://h/p?a=1 "}) {
        network::URL url;
        EXPECT_FALSE(network::ParseURL(text, url)) << text;
    }
}

TEST(URLTest, PrintsTargetsAndPorts) {
    URL url{"http", "h", 80, "/p", {{"a b", "c&d"}}, ""};
    EXPECT_EQ("http://h:80/p?a%20b=c%26d", url.ToString());
    EXPECT_TRUE(url.IsDefaultPort());
    struct Case {
        std::string text;
        std::string target;    // request target
        std::string printed;   // ToString
        std::string authority;
        bool validPort;
    };
    for (const auto& c : std::vector<Case>{
             {"http://h", "/", "http://h", "h", true},
             {"http://h?a=1#f", "/?a=1", "http://h?a=1#f", "h", true},
             {"https://h:8443/x/y?k=v#frag", "/x/y?k=v", "https://h:8443/x/y?k=v#frag", "h:8443", true},
             {"ws://h:65535/", "/", "ws://h:65535/", "h:65535", true},
             {"ws://h:65536/", "/", "ws://h:65536/", "h:65536", false},
             {"http://h:99999/x", "/x", "http://h:99999/x", "h:99999", false}}) {
        URL parsed;
        ASSERT_TRUE(network::ParseURL(c.text, parsed)) << c.text;
        EXPECT_EQ(c.target, parsed.PathAndQuery()) << c.text;
        EXPECT_EQ(c.printed, parsed.ToString()) << c.text;
        EXPECT_EQ(c.authority, parsed.Authority()) << c.text;
        EXPECT_EQ(c.validPort, parsed.HasValidPort()) << c.text;
    }
    URL bare{"https", "h", 0, "", {}, ""};
    bare.SetDefaultPort();
    EXPECT_EQ(443u, bare.port);
    URL other{"ftp", "h", 0, "", {}, ""};
    other.SetDefaultPort();
    EXPECT_EQ(0u, other.port);
}

TEST(URLTest, RelativeReferencesResolveAsRfc3986Says) {
    struct Case {
        std::string reference;
        std::string resolved;
    };
    // RFC 3986 section 5.4's base, with a port and a decoded query.
    const std::string base = "http://a:81/b/c/d;p?q=1";
    for (const auto& c : std::vector<Case>{
             {"g", "http://a:81/b/c/g"}, {"./g", "http://a:81/b/c/g"}, {"g/", "http://a:81/b/c/g/"},
             {"/g", "http://a:81/g"}, {"//g", "http://g"},
             {"//g:8080/x?y=1", "http://g:8080/x?y=1"},
             {"?y=2", "http://a:81/b/c/d;p?y=2"}, {"g?y=2&z", "http://a:81/b/c/g?y=2&z"},
             {"#s", "http://a:81/b/c/d;p?q=1#s"}, {"g#s", "http://a:81/b/c/g#s"},
             {"", "http://a:81/b/c/d;p?q=1"}, {"..", "http://a:81/b/"}, {"../g", "http://a:81/b/g"},
             {"../../../g", "http://a:81/g"}, {"/./g/../h", "http://a:81/h"},
             {"/n?x=1#f", "http://a:81/n?x=1#f"}, {"/p?a=%41+b", "http://a:81/p?a=A%20b"},
             {"https://other/z", "https://other/z"}}) {
        URL url;
        ASSERT_TRUE(network::ParseURL(base, url));
        network::ParseRelativeURL(url, c.reference);
        EXPECT_EQ(c.resolved, url.ToString()) << "reference '" << c.reference << "'";
    }
}

TEST(URLTest, PercentEncodingAndDecoding) {
    EXPECT_EQ("aZ09-._~%20%2B%2F%00%FF", network::URLEncode(std::string("aZ09-._~ +/\0\xff", 13)));
    struct Case {
        std::string text;
        bool ok;
        std::string decoded;
    };
    for (const auto& c : std::vector<Case>{{"a+b%20c", true, "a b c"}, {"%41%2f%2F", true, "A//"},
                                           {"", true, ""}, {"%", false, ""}, {"%4", false, ""},
                                           {"ab%4", false, ""}, {"%zz", false, ""},
                                           {"%4g", false, ""}, {"%-1", false, ""}}) {
        std::string out = "stale";
        EXPECT_EQ(c.ok, network::URLDecode(c.text, out)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.decoded, out) << c.text;
        }
    }
}

}  // namespace
