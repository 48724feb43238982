#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "network/URL.h"
#include "support/Mutations.h"

namespace {

// Mutates valid URLs and random bytes for a few seconds and checks what
// must hold for every input: no crash (the sanitizers watch), a parsed URL
// prints back to a text that parses to the same URL, and decoding never
// produces more bytes than it was given.
TEST(URLFuzzTest, ParseAndDecodeHoldForMutatedInputs) {
    const std::vector<std::string> seeds = {
        "http://h", "https://a.b:443/x/y?k=v&w#f", "ws://h:1/%41?a=%2F", "ftp://h/;p=1?q",
        "http://h:99999999999/p", "wss://x/?a=b&c=d&e#?/", "http://h/p?%zz=1"};
    const std::size_t inputs = testsupport::mutateFor(
        std::chrono::seconds(3), seeds, "%?#&=:/.@+ -_~aZ09\x80\xff", 4,
        [](const std::string& text, std::mt19937&) {
            network::URL url, again;
            if (network::ParseURL(text, url)) {
                EXPECT_TRUE(network::ParseURL(url.ToString(), again)) << text << " -> " << url.ToString();
                EXPECT_EQ(url.ToString(), again.ToString()) << text;
                EXPECT_EQ(url.query, again.query) << text;
                network::ParseRelativeURL(again, text.substr(text.size() / 2));
                (void)again.PathAndQuery();
            }
            std::string decoded;
            EXPECT_TRUE(!network::URLDecode(text, decoded) || decoded.size() <= text.size()) << text;
            return !::testing::Test::HasFailure();
        });
    EXPECT_GT(inputs, 1000u);
}

}  // namespace
