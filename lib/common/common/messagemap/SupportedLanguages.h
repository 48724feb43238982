#pragma once

#include <string>
#include <vector>

namespace common {

// The interface languages of the product, in this order: "en", "fr", "es",
// "de", "it", "pt-BR".
extern const std::vector<std::string> supportedLanguages;

// True when `code` equals an entry of supportedLanguages byte for byte.
bool isSupportedLanguage(const std::string& code);

}  // namespace common
