#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "network/URL.h"

namespace {

// Mutates valid URLs and random bytes for a few seconds and checks what
// must hold for every input: no crash (the sanitizers watch), a parsed URL
// prints back to a text that parses to the same URL, and decoding never
// produces more bytes than it was given.
TEST(URLFuzzTest, ParseAndDecodeHoldForMutatedInputs) {
    const std::vector<std::string> seeds = {
        "http://h", "https://a.b:443/x/y?k=v&w#f", "ws://h:1/%41?a=%2F", "ftp://h/;p=1?q",
        "http://h:99999999999/p", "wss://x/?a=b&c=d&e#?/", "http://h/p?%zz=1"};
    const std::string alphabet = "%?#&=:/.@+ -_~aZ09\x80\xff";
    std::mt19937 random(20240611);
    const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::size_t inputs = 0;
    while (std::chrono::steady_clock::now() < stop) {
        std::string text = seeds[random() % seeds.size()];
        const int mutations = 1 + random() % 4;
        for (int m = 0; m < mutations; ++m) {
            const std::size_t at = text.empty() ? 0 : random() % (text.size() + 1);
            const char c = random() % 2 ? alphabet[random() % alphabet.size()]
                                        : static_cast<char>(random() % 256);
            if (random() % 2 || at == text.size()) {
                text.insert(at, 1, c);
            } else {
                random() % 2 ? void(text.erase(at, 1)) : void(text[at] = c);
            }
        }
        ++inputs;
        network::URL url;
        if (network::ParseURL(text, url)) {
            network::URL again;
            ASSERT_TRUE(network::ParseURL(url.ToString(), again)) << text << " -> " << url.ToString();
            ASSERT_EQ(url.ToString(), again.ToString()) << text;
            ASSERT_EQ(url.query, again.query) << text;
            network::ParseRelativeURL(again, text.substr(text.size() / 2));
            (void)again.PathAndQuery();
        }
        std::string decoded;
        if (network::URLDecode(text, decoded)) {
            ASSERT_LE(decoded.size(), text.size()) << text;
        }
    }
    EXPECT_GT(inputs, 1000u);
}

}  // namespace
