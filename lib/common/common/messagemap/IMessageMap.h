#pragma once

#include <cstdarg>
#include <cstddef>
#include <memory>
#include <string>

namespace common {

// The user interface's texts by message number, in each interface language.
// A placeholder in a text is a dollar sign and an argument's index in braces
// ("${0}"); the language is chosen without regard to case, falling back to
// the part of the code before its first '-'.
class IMessageMap {
public:
    // A new, empty table: no languages, no texts, no language selected.
    static std::unique_ptr<IMessageMap> create();

    virtual ~IMessageMap() = default;

    // Reads "messages.bin" from the main bundle's resources and selects "en".
    virtual void load() = 0;

    // Selects the language `code`, or failing that the part before its first
    // '-'. True when one matched; otherwise no language is selected and the
    // default texts are served.
    virtual bool setLanguage(const wchar_t* code) = 0;

    // The text of message `id` in the selected language, each "${i}" for i
    // below `count` replaced (first occurrence only, in index order) by the
    // i-th of the `count` following `const wchar_t*` arguments.
    virtual std::wstring getMessage(std::size_t id, std::size_t count, ...) = 0;
    virtual std::wstring getMessageV(std::size_t id, std::size_t count, va_list args) = 0;

    // The unformatted text of message `id`, or an empty text. The pointer
    // stays valid until the table is loaded again or destroyed.
    virtual const wchar_t* getRawMessage(std::size_t id) = 0;
};

}  // namespace common
