#include "network/ParsedURLCache.h"

namespace network {

bool ParsedURLCache::Parse(const std::string& text, URL& url) {
    if (held_ && text == text_) {
        url = url_;
        return true;
    }
    URL parsed;
    if (!ParseURL(WithLowerCaseScheme(text), parsed)) {
        return false;
    }
    parsed.ToLower();
    parsed.SetDefaultPort();
    text_ = text;
    url_ = parsed;
    held_ = true;
    url = std::move(parsed);
    return true;
}

}  // namespace network
