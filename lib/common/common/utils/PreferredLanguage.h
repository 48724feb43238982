#pragma once

#include <string>

namespace common {

// The interface language to use: the user's first preferred language when it
// is supported (compared without regard to case, returned as the supported
// list spells it, so "PT-br" gives "pt-BR"), else its first two characters
// when those are supported ("fr-CA" gives "fr"), else "en".
std::string getPreferredLanguage();

}  // namespace common
