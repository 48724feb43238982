#include "common/logging/LogTextFormat.h"

#include <locale.h>
#include <wchar.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/utils/StringConversions.h"

namespace common {

namespace {

// Appends to a bounded buffer; what does not fit is dropped.
class BoundedText {
public:
    BoundedText(char* buffer, std::size_t size) : buffer_(buffer), capacity_(size - 1) {}

    void append(const char* text, std::size_t length) {
        const std::size_t room = capacity_ - length_;
        const std::size_t count = std::min(room, length);
        std::memcpy(buffer_ + length_, text, count);
        length_ += count;
    }

    template <typename Integer>
    void appendInteger(Integer value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        append(digits, static_cast<std::size_t>(end - digits));
    }

    // Nothing appended from here on is kept.
    void end() { capacity_ = length_; }

    std::size_t finish() {
        buffer_[length_] = '\0';
        return length_;
    }

private:
    char* buffer_;
    std::size_t capacity_;
    std::size_t length_ = 0;
};

// A conversion as written after its '%': flags, width, precision, length
// and the conversion character.
struct Conversion {
    std::string_view flags;
    int width = 0;
    int precision = -1;  // none
    std::string_view length;
    char type = 0;
    std::string_view whole;  // from the '%' to the conversion character

    bool plain() const { return flags.empty() && width == 0 && precision < 0; }
};

enum class Parsed { ok, unsupported };

// Reads the conversion that starts at `percent`. Widths or precisions taken
// from the arguments ('*') and numbered arguments ('$') are not supported.
Parsed parseConversion(const char* percent, Conversion& conversion) {
    const char* at = percent + 1;
    const char* flags = at;
    while (*at != '\0' && std::strchr("-+ #0'", *at) != nullptr) {
        ++at;
    }
    conversion.flags = std::string_view(flags, static_cast<std::size_t>(at - flags));
    const auto number = [&at](int& value) {
        value = 0;
        while (*at >= '0' && *at <= '9') {
            if (value > 100000) {
                return false;
            }
            value = value * 10 + (*at++ - '0');
        }
        return true;
    };
    if (!number(conversion.width) || *at == '$' || *at == '*') {
        return Parsed::unsupported;
    }
    if (*at == '.') {
        ++at;
        if (*at == '*' || !number(conversion.precision)) {
            return Parsed::unsupported;
        }
    }
    const char* length = at;
    while (*at != '\0' && std::strchr("hlLqjzt", *at) != nullptr) {
        ++at;
    }
    conversion.length = std::string_view(length, static_cast<std::size_t>(at - length));
    conversion.type = *at;
    if (conversion.type == '\0') {
        return Parsed::unsupported;
    }
    conversion.whole = std::string_view(percent, static_cast<std::size_t>(at + 1 - percent));
    return Parsed::ok;
}

// UTF-8 of wide text as printf gives it for "%ls" with `precision`: no more
// bytes than that, and no character cut.
std::string utf8OfWide(const wchar_t* text, int precision) {
    if (text == nullptr) {
        return precision < 0 || precision >= 6 ? "(null)" : "";
    }
    std::string utf8;
    for (const wchar_t* at = text; *at != L'\0'; ++at) {
        const std::string character = wstringToUtf8(std::wstring_view(at, 1));
        if (precision >= 0 && utf8.size() + character.size() > static_cast<std::size_t>(precision)) {
            break;
        }
        utf8 += character;
    }
    return utf8;
}

void appendPadded(BoundedText& out, const Conversion& conversion, const std::string& text) {
    const std::size_t width = static_cast<std::size_t>(conversion.width);
    const std::string padding(width > text.size() ? width - text.size() : 0, ' ');
    const bool left = conversion.flags.find('-') != std::string_view::npos;
    if (!left) {
        out.append(padding.data(), padding.size());
    }
    out.append(text.data(), text.size());
    if (left) {
        out.append(padding.data(), padding.size());
    }
}

// One conversion through snprintf, with the one argument it takes.
template <typename Argument>
bool appendThroughPrintf(BoundedText& out, const Conversion& conversion, Argument argument) {
    const std::string spec(conversion.whole);
    const int length = std::snprintf(nullptr, 0, spec.c_str(), argument);
    if (length < 0) {
        return false;
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), spec.c_str(), argument);
    out.append(text.data(), ::strnlen(text.data(), static_cast<std::size_t>(length)));
    // Like printf, nothing after a zero character ("%c" of 0) is kept.
    if (std::strlen(text.data()) < static_cast<std::size_t>(length)) {
        out.end();
    }
    return true;
}

template <typename Integer>
bool appendInteger(BoundedText& out, const Conversion& conversion, Integer value) {
    if (conversion.plain() && (conversion.type == 'd' || conversion.type == 'i' ||
                               conversion.type == 'u')) {
        out.appendInteger(value);
        return true;
    }
    return appendThroughPrintf(out, conversion, value);
}

enum class Outcome { done, unsupported, failed };

// One conversion, its argument taken from `args`.
Outcome appendConversion(BoundedText& out, const Conversion& conversion, va_list* args) {
    const std::string_view length = conversion.length;
    switch (conversion.type) {
        case 'd':
        case 'i':
            if (length.empty() || length == "h" || length == "hh") {
                return appendInteger(out, conversion, va_arg(*args, int)) ? Outcome::done
                                                                          : Outcome::failed;
            }
            if (length == "l") {
                return appendInteger(out, conversion, va_arg(*args, long)) ? Outcome::done
                                                                           : Outcome::failed;
            }
            if (length == "ll" || length == "q" || length == "j") {
                return appendInteger(out, conversion, va_arg(*args, long long)) ? Outcome::done
                                                                                : Outcome::failed;
            }
            if (length == "z" || length == "t") {
                return appendInteger(out, conversion, va_arg(*args, long)) ? Outcome::done
                                                                           : Outcome::failed;
            }
            return Outcome::unsupported;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            if (length.empty() || length == "h" || length == "hh") {
                return appendInteger(out, conversion, va_arg(*args, unsigned int))
                           ? Outcome::done
                           : Outcome::failed;
            }
            if (length == "l" || length == "z" || length == "t") {
                return appendInteger(out, conversion, va_arg(*args, unsigned long))
                           ? Outcome::done
                           : Outcome::failed;
            }
            if (length == "ll" || length == "q" || length == "j") {
                return appendInteger(out, conversion, va_arg(*args, unsigned long long))
                           ? Outcome::done
                           : Outcome::failed;
            }
            return Outcome::unsupported;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (length.empty() || length == "l") {
                return appendThroughPrintf(out, conversion, va_arg(*args, double))
                           ? Outcome::done
                           : Outcome::failed;
            }
            if (length == "L") {
                return appendThroughPrintf(out, conversion, va_arg(*args, long double))
                           ? Outcome::done
                           : Outcome::failed;
            }
            return Outcome::unsupported;
        case 'p':
            return length.empty() && appendThroughPrintf(out, conversion, va_arg(*args, void*))
                       ? Outcome::done
                       : Outcome::unsupported;
        case 's':
            if (length.empty()) {
                const char* text = va_arg(*args, const char*);
                if (!conversion.plain()) {
                    return appendThroughPrintf(out, conversion, text) ? Outcome::done
                                                                      : Outcome::failed;
                }
                if (text == nullptr) {
                    text = "(null)";
                }
                out.append(text, std::strlen(text));
                return Outcome::done;
            }
            if (length != "l") {
                return Outcome::unsupported;
            }
            [[fallthrough]];
        case 'S':
            // Wide text is UTF-32; it is written as UTF-8 whatever the
            // process's locale, which printf would convert it to.
            if (conversion.type == 'S' && !length.empty()) {
                return Outcome::unsupported;
            }
            appendPadded(out, conversion,
                         utf8OfWide(va_arg(*args, const wchar_t*), conversion.precision));
            return Outcome::done;
        case 'c':
            if (length.empty()) {
                return appendThroughPrintf(out, conversion, va_arg(*args, int)) ? Outcome::done
                                                                               : Outcome::failed;
            }
            if (length != "l") {
                return Outcome::unsupported;
            }
            [[fallthrough]];
        case 'C': {
            if (conversion.type == 'C' && !length.empty()) {
                return Outcome::unsupported;
            }
            const auto character = static_cast<wchar_t>(va_arg(*args, wint_t));
            if (character == L'\0') {
                // printf writes the zero, which ends the text.
                if (conversion.flags.find('-') == std::string_view::npos && conversion.width > 1) {
                    const std::string padding(static_cast<std::size_t>(conversion.width) - 1, ' ');
                    out.append(padding.data(), padding.size());
                }
                out.end();
                return Outcome::done;
            }
            appendPadded(out, conversion, wstringToUtf8(std::wstring_view(&character, 1)));
            return Outcome::done;
        }
        default:
            return Outcome::unsupported;
    }
}

// Formats conversion by conversion; unsupported (with `args` partly used)
// when the format holds a conversion that needs printf whole, failed when an
// argument cannot be formatted.
Outcome formatDirectly(BoundedText& out, const char* format, va_list* args) {
    const char* text = format;
    while (true) {
        const char* percent = std::strchr(text, '%');
        if (percent == nullptr) {
            out.append(text, std::strlen(text));
            return Outcome::done;
        }
        out.append(text, static_cast<std::size_t>(percent - text));
        if (percent[1] == '%') {
            out.append("%", 1);
            text = percent + 2;
            continue;
        }
        Conversion conversion;
        if (parseConversion(percent, conversion) != Parsed::ok) {
            return Outcome::unsupported;
        }
        const Outcome outcome = appendConversion(out, conversion, args);
        if (outcome != Outcome::done) {
            return outcome;
        }
        text = percent + conversion.whole.size();
    }
}

// A C.UTF-8 character type, so that "%S" converts any wide text whatever the
// process's own locale is.
locale_t utf8Locale() {
    static const locale_t locale =
        newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

std::size_t formatWithPrintf(char* buffer, std::size_t size, const char* format, va_list args) {
    locale_t previous = static_cast<locale_t>(nullptr);
    if (locale_t utf8 = utf8Locale()) {
        previous = uselocale(utf8);
    }
    const int written = std::vsnprintf(buffer, size, format, args);
    if (previous) {
        uselocale(previous);
    }
    if (written < 0) {
        BoundedText out(buffer, size);
        out.append(format, std::strlen(format));
        return out.finish();
    }
    return ::strnlen(buffer, std::min(static_cast<std::size_t>(written), size - 1));
}

}  // namespace

std::size_t formatLogText(char* buffer, std::size_t size, const char* format, va_list args) {
    va_list direct;
    va_copy(direct, args);
    BoundedText out(buffer, size);
    const Outcome outcome = formatDirectly(out, format, &direct);
    va_end(direct);
    if (outcome == Outcome::done) {
        return out.finish();
    }
    if (outcome == Outcome::failed) {
        BoundedText whole(buffer, size);
        whole.append(format, std::strlen(format));
        return whole.finish();
    }
    return formatWithPrintf(buffer, size, format, args);
}

}  // namespace common
