#include "common/utils/PreferredLanguage.h"

#include <strings.h>

#include "common/messagemap/SupportedLanguages.h"
#include "platform/foundation/Locale.h"

namespace common {

namespace {

const std::string* findSupported(const std::string& code) {
    for (const auto& language : supportedLanguages) {
        if (::strcasecmp(language.c_str(), code.c_str()) == 0) {
            return &language;
        }
    }
    return nullptr;
}

}  // namespace

std::string getPreferredLanguage() {
    const auto preferred = platform::foundation::Locale::preferredLanguages();
    if (preferred.empty()) {
        return "en";
    }
    const std::string& code = preferred.front();
    if (const auto* language = findSupported(code)) {
        return *language;
    }
    if (const auto* language = findSupported(code.substr(0, 2))) {
        return *language;
    }
    return "en";
}

}  // namespace common
