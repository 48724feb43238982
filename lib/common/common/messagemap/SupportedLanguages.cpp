#include "common/messagemap/SupportedLanguages.h"

#include <algorithm>

namespace common {

const std::vector<std::string> supportedLanguages = {"en", "fr", "es", "de", "it", "pt-BR"};

bool isSupportedLanguage(const std::string& code) {
    return std::find(supportedLanguages.begin(), supportedLanguages.end(), code) !=
           supportedLanguages.end();
}

}  // namespace common
