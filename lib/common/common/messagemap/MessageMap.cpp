#include "common/messagemap/MessageMap.h"

#include <fcntl.h>
#include <lzf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <climits>
#include <cstring>

#include "common/logging/ILogger.h"
#include "common/utils/StringConversions.h"
#include "platform/foundation/Bundle.h"

namespace common {

namespace {

// Reads the fields of an unpacked table front to back; every read fails
// instead of passing the end of the data.
class TableReader {
public:
    TableReader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t remaining() const { return size_ - position_; }

    bool readUint32(std::uint32_t& value) {
        if (remaining() < 4) {
            return false;
        }
        const unsigned char* p = data_ + position_;
        value = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
        position_ += 4;
        return true;
    }

    bool skip(std::size_t count) {
        if (remaining() < count) {
            return false;
        }
        position_ += count;
        return true;
    }

    // A NUL-terminated UTF-8 text; invalid sequences read as U+FFFD.
    bool readText(std::wstring& text) {
        const void* end = std::memchr(data_ + position_, '\0', remaining());
        if (end == nullptr) {
            return false;
        }
        const auto length =
            static_cast<std::size_t>(static_cast<const unsigned char*>(end) - (data_ + position_));
        text = utf8ToWString(
            std::string_view(reinterpret_cast<const char*>(data_ + position_), length));
        position_ += length + 1;
        return true;
    }

    // `count` texts; a count that the remaining bytes cannot hold (every
    // text takes at least its NUL) fails before anything is allocated.
    bool readTexts(std::uint32_t count, std::vector<std::wstring>& texts) {
        if (count > remaining()) {
            return false;
        }
        texts.clear();
        texts.resize(count);
        for (auto& text : texts) {
            if (!readText(text)) {
                return false;
            }
        }
        return true;
    }

private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

wchar_t asciiLower(wchar_t character) {
    return (character >= L'A' && character <= L'Z') ? character - L'A' + L'a' : character;
}

bool equalsIgnoringCase(const std::wstring& left, const std::wstring& right) {
    if (left.size() != right.size()) {
        return false;
    }
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (asciiLower(left[i]) != asciiLower(right[i])) {
            return false;
        }
    }
    return true;
}

const wchar_t kEmptyText[] = L"";

}  // namespace

void MessageMap::load() {
    const std::string path = platform::foundation::Bundle::main().resourcePath + "/messages.bin";
    auto logger = createLogger("MessageMap");
    // Opened without waiting (a FIFO would block the open), then read only
    // when it is a regular file of an acceptable size.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        logger->error("Cannot open the message table %s: %s", path.c_str(), std::strerror(errno));
        return;
    }
    // A file larger than any packed table of the accepted size is refused
    // without being read.
    constexpr off_t kMaxFileSize = 4 + 2 * static_cast<off_t>(kMaxTableSize);
    struct stat info {};
    std::vector<unsigned char> bytes;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        logger->error("The message table %s is not a regular file", path.c_str());
    } else if (info.st_size <= 0 || info.st_size > kMaxFileSize) {
        logger->error("The message table %s has an unusable size: %lld", path.c_str(),
                      static_cast<long long>(info.st_size));
    } else {
        bytes.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        bytes.resize(done);
        if (!loadFromBuffer(bytes.data(), bytes.size())) {
            logger->error("The message table %s is damaged", path.c_str());
        }
    }
    ::close(fd);
    if (bytes.empty()) {
        return;
    }
    setLanguage(L"en");
}

bool MessageMap::loadFromBuffer(const unsigned char* bytes, std::size_t length) {
    std::lock_guard lock(mutex_);
    const auto data = unpack(bytes, length);
    if (!data) {
        return false;
    }
    auto table = parse(*data);
    if (!table) {
        return false;
    }
    languages_ = std::move(table->languages);
    texts_ = std::move(table->texts);
    return true;
}

std::optional<std::vector<unsigned char>> MessageMap::unpack(const unsigned char* bytes,
                                                             std::size_t length) {
    if (bytes == nullptr || length < 4) {
        return std::nullopt;
    }
    const std::uint32_t size =
        static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
        (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
    const std::size_t compressed = length - 4;
    if (size < 4 || size > kMaxTableSize || compressed == 0 || compressed > UINT_MAX) {
        return std::nullopt;
    }
    std::vector<unsigned char> data(size);
    const unsigned int unpacked =
        ::lzf_decompress(bytes + 4, static_cast<unsigned int>(compressed), data.data(), size);
    if (unpacked != size) {
        return std::nullopt;
    }
    return data;
}

std::optional<MessageMap::Table> MessageMap::parse(const std::vector<unsigned char>& data) {
    TableReader reader(data.data(), data.size());
    Table table;
    std::uint32_t languageCount = 0;
    std::uint32_t messageCount = 0;
    std::vector<std::wstring> defaults;
    if (!reader.readUint32(languageCount) || !reader.readTexts(languageCount, table.languages) ||
        !reader.skip(4) || !reader.readUint32(messageCount) ||
        !reader.readTexts(messageCount, defaults)) {
        return std::nullopt;
    }
    for (std::uint32_t language = 0; language < languageCount; ++language) {
        std::vector<std::wstring> texts;
        if (!reader.skip(8) || !reader.readTexts(messageCount, texts)) {
            return std::nullopt;
        }
        for (std::size_t id = 0; id < texts.size(); ++id) {
            if (texts[id].empty()) {
                texts[id] = defaults[id];
            }
        }
        table.texts.emplace(language, std::move(texts));
    }
    table.texts.emplace(kDefaultLanguage, std::move(defaults));
    return table;
}

std::optional<std::uint64_t> MessageMap::findLanguage(const std::wstring& code) const {
    for (std::size_t index = 0; index < languages_.size(); ++index) {
        if (equalsIgnoringCase(languages_[index], code)) {
            return index;
        }
    }
    return std::nullopt;
}

bool MessageMap::setLanguage(const wchar_t* code) {
    std::lock_guard lock(mutex_);
    current_ = kDefaultLanguage;
    if (code == nullptr) {
        return false;
    }
    const std::wstring whole(code);
    if (const auto index = findLanguage(whole)) {
        current_ = *index;
        return true;
    }
    const auto dash = whole.find(L'-');
    if (dash == std::wstring::npos) {
        return false;
    }
    if (const auto index = findLanguage(whole.substr(0, dash))) {
        current_ = *index;
        return true;
    }
    return false;
}

const wchar_t* MessageMap::getRawMessage(std::size_t id) {
    std::lock_guard lock(mutex_);
    const auto entry = texts_.find(current_);
    if (entry == texts_.end() || id >= entry->second.size()) {
        return kEmptyText;
    }
    return entry->second[id].c_str();
}

std::wstring MessageMap::getMessage(std::size_t id, std::size_t count, ...) {
    va_list args;
    va_start(args, count);
    std::wstring text = getMessageV(id, count, args);
    va_end(args);
    return text;
}

std::wstring MessageMap::getMessageV(std::size_t id, std::size_t count, va_list args) {
    std::lock_guard lock(mutex_);
    return format(getRawMessage(id), count, args);
}

std::wstring MessageMap::format(std::wstring text, std::size_t count, va_list args) {
    if (text.empty() || count == 0) {
        return text;
    }
    for (std::size_t index = 0; index < count; ++index) {
        const wchar_t* argument = va_arg(args, const wchar_t*);
        const std::wstring placeholder = L"${" + std::to_wstring(index) + L"}";
        const auto position = text.find(placeholder);
        if (position != std::wstring::npos) {
            text.replace(position, placeholder.size(), argument != nullptr ? argument : L"");
        }
    }
    return text;
}

}  // namespace common
