#include <gtest/gtest.h>

#include "network/ParsedURLCache.h"

namespace {

// One cache reads a run of texts: every reading is the one a fresh parse
// of the text, its scheme in lower case, gives, whatever the cache held
// before.
TEST(ParsedURLCacheTest, EveryTextReadsAsAFreshParseReadsIt) {
    const char* texts[] = {
        "http://example.test/a?x=1",
        "http://example.test/a?x=1",   // again: from the cache
        "http://example.test/a?x=2",   // same length, another query
        "HTTP://Example.TEST:8080/a",  // another case: lower-cased, own port
        "FTP://example.test/b",        // a scheme of its own in capitals
        "not a url",                   // refused, whatever was held
        "http://example.test/a?x=2",   // held before the refusal
        "https://example.test",        // the default port of its scheme
        "",
        "https://example.test",
    };
    network::ParsedURLCache cache;
    for (const char* text : texts) {
        network::URL fresh;
        const bool parses = network::ParseURL(network::WithLowerCaseScheme(text), fresh);
        fresh.ToLower();
        fresh.SetDefaultPort();
        network::URL read;
        read.host = "untouched";
        ASSERT_EQ(cache.Parse(text, read), parses) << text;
        if (parses) {
            EXPECT_EQ(read.ToString(), fresh.ToString()) << text;
            EXPECT_EQ(read.port, fresh.port) << text;
        } else {
            EXPECT_EQ(read.host, "untouched") << text;
        }
    }
}

}  // namespace
