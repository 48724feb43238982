#pragma once

#include <string>

#include "network/URL.h"

namespace network {

// The last URL text read, with its reading: a connection asked for the same
// URL request after request reads it once.
class ParsedURLCache {
public:
    // Reads `text`, its scheme in any case, into `url`, lower-cased and
    // with its scheme's default port; false, with `url` untouched, when
    // `text` is no URL.
    bool Parse(const std::string& text, URL& url);

private:
    std::string text_;
    URL url_;
    bool held_ = false;
};

}  // namespace network
