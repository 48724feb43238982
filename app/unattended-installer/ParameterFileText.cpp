#include "ParameterFileText.h"

#include <algorithm>
#include <string_view>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include "common/utils/JsonNesting.h"

namespace quorvane::unattended {

namespace {

constexpr const char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr std::size_t kNone = static_cast<std::size_t>(-1);
// Strict JSON; numbers are handed over as their text, never converted.
constexpr unsigned kParseFlags =
    rapidjson::kParseDefaultFlags | rapidjson::kParseNumbersAsStringsFlag;

// The text as the reader reads it. Unlike rapidjson's own string stream,
// which the reader copies while it reads a string or a number and writes
// back only afterwards, this one is read in place, so that Tell() is exact
// in every handler call.
struct TextStream : rapidjson::StringStream {
    using rapidjson::StringStream::StringStream;
};

// Follows the reader through the text, noting where the object's braces
// and its members' values stand. Offsets are the stream's, taken when the
// reader has just passed the token in question.
class Scan : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Scan> {
public:
    struct Member {
        std::string name;
        std::size_t afterName = 0;
        std::size_t valueEnd = kNone;
    };

    explicit Scan(const TextStream& stream) : stream_(stream) {}

    // A value that is neither an object nor an array has been read.
    bool Default() { return valueRead(); }
    bool Key(const char* name, rapidjson::SizeType length, bool) {
        if (depth_ == 1) {
            members.push_back({std::string(name, length), stream_.Tell()});
        }
        return true;
    }
    bool StartObject() {
        if (depth_ == 0) {
            open = stream_.Tell() - 1;
        }
        return enter();
    }
    bool EndObject(rapidjson::SizeType) {
        if (--depth_ == 0) {
            close = stream_.Tell() - 1;
        }
        return valueRead();
    }
    bool StartArray() { return depth_ > 0 && enter(); }
    bool EndArray(rapidjson::SizeType) {
        --depth_;
        return valueRead();
    }

    std::vector<Member> members;
    std::size_t open = kNone;
    std::size_t close = kNone;
    bool tooDeep = false;

private:
    bool enter() {
        tooDeep = ++depth_ > common::kMaxJsonNesting;
        return !tooDeep;
    }
    bool valueRead() {
        if (depth_ == 0 && open == kNone) {
            return false;  // the top level is no object
        }
        if (depth_ == 1 && !members.empty() && members.back().valueEnd == kNone) {
            members.back().valueEnd = stream_.Tell();
        }
        return true;
    }

    const TextStream& stream_;
    std::size_t depth_ = 0;
};

bool isJsonSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Whether `text` is one JSON number, whatever its size.
bool isJsonNumber(std::string_view text) {
    std::size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
    const auto digits = [&text, &i] {
        const std::size_t from = i;
        while (i < text.size() && isDigit(text[i])) {
            ++i;
        }
        return i > from;
    };
    if (i < text.size() && text[i] == '0') {
        ++i;
    } else if (!digits()) {
        return false;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (!digits()) {
            return false;
        }
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (!digits()) {
            return false;
        }
    }
    return i == text.size();
}

// The text with each JSON number outside strings written as another of the
// same length that the reader takes whatever its size: the reader refuses
// numbers beyond a double's range (1e400) that JSON allows. Whatever is not
// one number stays, so the reader finds the same faults at the same places.
std::string withTameNumbers(std::string text) {
    const auto inNumber = [](char c) {
        return isDigit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
    };
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (inString) {
            if (text[i] == '\\') {
                ++i;
            } else if (text[i] == '"') {
                inString = false;
            }
            continue;
        }
        if (text[i] == '"') {
            inString = true;
            continue;
        }
        if (text[i] != '-' && !isDigit(text[i])) {
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && inNumber(text[end])) {
            ++end;
        }
        // "0.000…", after the sign, for anything longer than two characters.
        const std::size_t digitsAt = text[i] == '-' ? i + 1 : i;
        if (end - digitsAt > 2 && isJsonNumber(std::string_view(text).substr(i, end - i))) {
            text.replace(digitsAt, end - digitsAt, "0." + std::string(end - digitsAt - 2, '0'));
        }
        i = end - 1;
    }
    return text;
}

}  // namespace

ParameterFileText::ParameterFileText(std::string text) : text_(std::move(text)) {
    read();
}

void ParameterFileText::read() {
    const std::size_t start = text_.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
    // Read with the numbers tamed; the offsets are the same in both texts.
    const std::string tame = withTameNumbers(text_);
    TextStream stream(tame.c_str() + start);
    Scan scan(stream);
    rapidjson::Reader reader;
    const rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, scan);
    const std::string prefix = "is not one JSON object: ";
    if (scan.tooDeep) {
        problem_ =
            prefix + "nested deeper than " + std::to_string(common::kMaxJsonNesting) + " levels";
    } else if (result.Code() == rapidjson::kParseErrorTermination) {
        problem_ = prefix + "its top level is another value";
    } else if (!result) {
        problem_ = prefix + rapidjson::GetParseError_En(result.Code()) + " (at byte " +
                   std::to_string(start + result.Offset()) + ")";
    } else if (start + stream.Tell() != text_.size()) {
        // The reader takes a NUL byte for the end of the text.
        problem_ = prefix + "a NUL byte at byte " + std::to_string(start + stream.Tell());
    }
    if (!problem_.empty()) {
        return;
    }
    open_ = start + scan.open;
    close_ = start + scan.close;
    for (const auto& member : scan.members) {
        // The value begins after the colon that follows the name.
        std::size_t begin = start + member.afterName;
        while (isJsonSpace(text_[begin]) || text_[begin] == ':') {
            ++begin;
        }
        members_.push_back({member.name, begin, start + member.valueEnd});
    }
}

std::optional<std::string> ParameterFileText::valueText(const std::string& key) const {
    if (!problem_.empty()) {
        return std::nullopt;
    }
    for (const auto& member : members_) {
        if (member.name == key) {
            return text_.substr(member.valueBegin, member.valueEnd - member.valueBegin);
        }
    }
    return std::nullopt;
}

std::size_t ParameterFileText::count(const std::string& key) const {
    return static_cast<std::size_t>(
        std::count_if(members_.begin(), members_.end(),
                      [&key](const Member& member) { return member.name == key; }));
}

std::string ParameterFileText::withValue(const std::string& key,
                                         const std::string& valueText) const {
    std::string changed;
    std::size_t copied = 0;
    bool found = false;
    for (const auto& member : members_) {
        if (member.name == key) {
            changed.append(text_, copied, member.valueBegin - copied).append(valueText);
            copied = member.valueEnd;
            found = true;
        }
    }
    if (!found) {
        const std::string added = "\n    \"" + key + "\": " + valueText;
        if (members_.empty()) {
            return text_.substr(0, open_ + 1) + added + "\n" + text_.substr(close_);
        }
        const std::size_t last = members_.back().valueEnd;
        return text_.substr(0, last) + "," + added + text_.substr(last);
    }
    return changed.append(text_, copied, std::string::npos);
}

}  // namespace quorvane::unattended
