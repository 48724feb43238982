#include "platform/foundation/Locale.h"

#include <cstdlib>

namespace platform::foundation {

std::string Locale::languageCodeOfLocale(const std::string& locale) {
    std::string code = locale.substr(0, locale.find_first_of(".@"));
    if (code == "C" || code == "POSIX") {
        return {};
    }
    for (char& character : code) {
        if (character == '_') {
            character = '-';
        }
    }
    return code;
}

std::vector<std::string> Locale::preferredLanguages() {
    std::vector<std::string> languages;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        const std::string text(value);
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find(':', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            const std::string code = languageCodeOfLocale(text.substr(start, end - start));
            if (!code.empty()) {
                languages.push_back(code);
            }
            start = end + 1;
        }
        break;
    }
    return languages;
}

}  // namespace platform::foundation
