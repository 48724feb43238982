#include "common/logging/LogTextFormat.h"

#include <locale.h>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

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

    std::size_t finish() {
        buffer_[length_] = '\0';
        return length_;
    }

private:
    char* buffer_;
    std::size_t capacity_;
    std::size_t length_ = 0;
};

enum class Length { plain, longInt, longLong, size };

// The direct path; false (with `args` partly used) when the format holds a
// conversion it does not take.
bool formatDirectly(BoundedText& out, const char* format, va_list args) {
    const char* text = format;
    while (true) {
        const char* percent = std::strchr(text, '%');
        if (percent == nullptr) {
            out.append(text, std::strlen(text));
            return true;
        }
        out.append(text, static_cast<std::size_t>(percent - text));
        const char* at = percent + 1;
        Length length = Length::plain;
        if (*at == 'l') {
            ++at;
            length = Length::longInt;
            if (*at == 'l') {
                ++at;
                length = Length::longLong;
            }
        } else if (*at == 'z') {
            ++at;
            length = Length::size;
        }
        switch (*at) {
            case '%':
                if (length != Length::plain) {
                    return false;
                }
                out.append("%", 1);
                break;
            case 's': {
                if (length != Length::plain) {
                    return false;
                }
                const char* argument = va_arg(args, const char*);
                if (argument == nullptr) {
                    argument = "(null)";
                }
                out.append(argument, std::strlen(argument));
                break;
            }
            case 'd':
            case 'i':
                switch (length) {
                    case Length::plain: out.appendInteger(va_arg(args, int)); break;
                    case Length::longInt: out.appendInteger(va_arg(args, long)); break;
                    case Length::longLong: out.appendInteger(va_arg(args, long long)); break;
                    case Length::size: out.appendInteger(va_arg(args, long)); break;
                }
                break;
            case 'u':
                switch (length) {
                    case Length::plain: out.appendInteger(va_arg(args, unsigned int)); break;
                    case Length::longInt: out.appendInteger(va_arg(args, unsigned long)); break;
                    case Length::longLong:
                        out.appendInteger(va_arg(args, unsigned long long));
                        break;
                    case Length::size: out.appendInteger(va_arg(args, std::size_t)); break;
                }
                break;
            default:
                return false;
        }
        text = at + 1;
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
    const bool done = formatDirectly(out, format, direct);
    va_end(direct);
    if (done) {
        return out.finish();
    }
    return formatWithPrintf(buffer, size, format, args);
}

}  // namespace common
