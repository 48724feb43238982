#pragma once

#include <string>
#include <vector>

namespace platform::foundation {

// The user's locale settings.
class Locale {
public:
    // The user's interface languages, most preferred first, as language codes
    // with a '-' before the region ("pt-BR"). They come from the first of the
    // environment variables LANGUAGE (a list separated by ':'), LC_ALL,
    // LC_MESSAGES and LANG that is set and not empty; "pt_BR.UTF-8" gives
    // "pt-BR", and the locales "C" and "POSIX" name no language.
    static std::vector<std::string> preferredLanguages();

    // The language code of one locale name ("de_AT.UTF-8@euro" gives "de-AT");
    // empty for "C", "POSIX" and an empty name.
    static std::string languageCodeOfLocale(const std::string& locale);
};

}  // namespace platform::foundation
