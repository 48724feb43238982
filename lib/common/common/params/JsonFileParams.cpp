#include "common/params/JsonFileParams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

#include <rapidjson/error/en.h>
#include <boost/assert.hpp>
#include <boost/filesystem/operations.hpp>

#include "common/params/JsonValueText.h"
#include "common/params/ParamsDump.h"
#include "common/utils/JsonNesting.h"

namespace common {

namespace {

constexpr std::size_t kParseStackCapacity = 1024;
constexpr const char kByteOrderMark[] = "\xEF\xBB\xBF";

// Keys whose values are text whatever they look like.
bool isAlwaysText(const std::string& key) {
    return key == "DeviceName" || key == "Labels";
}

template <typename T>
bool parseWhole(const std::string& text, T& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

// The JSON value that a parameter text is stored as: a number only when the
// number reads back as exactly this text, otherwise the text itself.
rapidjson::Value typedValue(const std::string& key, const std::string& text,
                            rapidjson::Document::AllocatorType& allocator) {
    rapidjson::Value value;
    if (!isAlwaysText(key)) {
        if (text.find('-') == std::string::npos) {
            std::uint64_t number = 0;
            if (parseWhole(text, number) && std::to_string(number) == text) {
                value.SetUint64(number);
                return value;
            }
        } else {
            std::int64_t number = 0;
            if (parseWhole(text, number) && std::to_string(number) == text) {
                value.SetInt64(number);
                return value;
            }
        }
        double number = 0;
        if (parseWhole(text, number) && std::isfinite(number) && numberToText(number) == text) {
            value.SetDouble(number);
            return value;
        }
    }
    value.SetString(text.data(), static_cast<rapidjson::SizeType>(text.size()), allocator);
    return value;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

rapidjson::Value::StringRefType keyRef(const std::string& key) {
    return rapidjson::StringRef(key.data(), key.size());
}

}  // namespace

JsonFileParams::JsonFileParams(const boost::filesystem::path& path, int mode)
    : document_(nullptr, kParseStackCapacity),
      path_(path),
      logger_(createLogger("JsonFileParams")),
      mode_(mode) {
    read();
}

JsonFileParams::~JsonFileParams() = default;

void JsonFileParams::read() {
    const std::string name = path_.string();
    boost::system::error_code error;
    if (boost::filesystem::status(path_, error).type() == boost::filesystem::file_not_found) {
        logger_->info("The input file does not exist. Filename: %s", name.c_str());
    }
    if (mode_ == ReadOnly) {
        logger_->debug("Opening input file in read-only mode: %s", name.c_str());
    }

    std::string content;
    if (path_.empty()) {
        logger_->error("The input file path is empty.");
    } else {
        content = getFileContent(path_);
    }
    std::size_t start = 0;
    if (content.compare(0, 3, kByteOrderMark) == 0) {
        start = 3;
    }

    const std::string_view json(content.data() + start, content.size() - start);
    if (jsonNestsDeeperThan(json)) {
        logger_->warn("File %s refused: JSON nested deeper than %zu levels", name.c_str(),
                      kMaxJsonNesting);
    } else if (document_.Parse<kParamsJsonParseFlags>(json.data(), json.size());
               document_.HasParseError()) {
        logger_->warn("Parse error occured in file %s, error message: %s", name.c_str(),
                      rapidjson::GetParseError_En(document_.GetParseError()));
    }
    if (!document_.IsObject()) {
        logger_->debug("The parsed json is not an object, setting it as an object. Filename: %s",
                       name.c_str());
        document_.SetObject();
    }
    containerTexts_ = containerTexts(document_);
}

std::string JsonFileParams::getFileContent(const boost::filesystem::path& path) {
    std::ifstream file(path.string(), std::ios::binary);
    if (!file.is_open()) {
        createLogger("JsonFileParams::getFileContent")
            ->warn("Failed to open file %s", path.string().c_str());
        return {};
    }
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

IParams::AccessLevel JsonFileParams::accessLevel() const {
    return static_cast<AccessLevel>(mode_);
}

std::string JsonFileParams::getValue(const std::string& key,
                                     const std::string& defaultValue) const {
    const auto member = document_.FindMember(keyRef(key));
    if (member == document_.MemberEnd()) {
        return defaultValue;
    }
    const auto container = containerTexts_.find(key);
    return container != containerTexts_.end() ? container->second : jsonValueToText(member->value);
}

bool JsonFileParams::setValue(const std::string& key, const std::string& value, bool /*flag*/) {
    if (mode_ != Writable) {
        logger_->warn("JsonParams cannot modify value in read-only mode: %s", key.c_str());
        BOOST_ASSERT_MSG(false, "JsonParams value can't be modified in read-only mode");
        return false;
    }
    auto& allocator = document_.GetAllocator();
    rapidjson::Value typed = typedValue(key, value, allocator);
    containerTexts_.erase(key);
    const auto member = document_.FindMember(keyRef(key));
    if (member != document_.MemberEnd()) {
        member->value = typed;
    } else {
        rapidjson::Value name(key.data(), static_cast<rapidjson::SizeType>(key.size()), allocator);
        document_.AddMember(name, typed, allocator);
    }

    const std::string readBack = getValue(key, "");
    if (!readBack.empty()) {
        logger_->debug("Value added successfully: %s, %s", key.c_str(), readBack.c_str());
    } else if (!value.empty()) {
        logger_->error("Cannot find recently added key: %s", key.c_str());
    }
    return save();
}

bool JsonFileParams::copyValueFrom(const JsonFileParams& source, const std::string& key) {
    if (mode_ != Writable) {
        logger_->warn("JsonParams cannot modify value in read-only mode: %s", key.c_str());
        return false;
    }
    const auto from = source.document_.FindMember(keyRef(key));
    if (from == source.document_.MemberEnd()) {
        return false;
    }
    auto& allocator = document_.GetAllocator();
    rapidjson::Value copy(from->value, allocator);
    const auto member = document_.FindMember(keyRef(key));
    if (member != document_.MemberEnd()) {
        member->value = copy;
    } else {
        rapidjson::Value name(key.data(), static_cast<rapidjson::SizeType>(key.size()), allocator);
        document_.AddMember(name, copy, allocator);
    }
    containerTexts_.erase(key);
    const auto text = source.containerTexts_.find(key);
    if (text != source.containerTexts_.end()) {
        containerTexts_.emplace(key, text->second);
    }
    return save();
}

bool JsonFileParams::hasValue(const std::string& key) const {
    return document_.FindMember(keyRef(key)) != document_.MemberEnd();
}

bool JsonFileParams::removeValue(const std::string& key) {
    if (mode_ != Removable && mode_ != Writable) {
        logger_->warn("JsonParams cannot remove value in read-only mode: %s", key.c_str());
        BOOST_ASSERT_MSG(false, "JsonParams value can't be removed in read-only mode");
        return false;
    }
    const auto member = document_.FindMember(keyRef(key));
    if (member == document_.MemberEnd()) {
        return false;
    }
    // Erasing, unlike removing, keeps the other members in their order.
    document_.EraseMember(member);
    containerTexts_.erase(key);
    const auto repeated = document_.FindMember(keyRef(key));
    if (repeated != document_.MemberEnd() &&
        (repeated->value.IsObject() || repeated->value.IsArray())) {
        containerTexts_.emplace(key, jsonValueToText(repeated->value));
    }
    logger_->debug("Value removed: %s", key.c_str());
    return save();
}

std::set<std::string> JsonFileParams::keys() const {
    std::set<std::string> names;
    for (const auto& member : document_.GetObject()) {
        names.emplace(member.name.GetString(), member.name.GetStringLength());
    }
    return names;
}

std::string JsonFileParams::dump() const {
    return dumpParams(*this);
}

bool JsonFileParams::save() {
    std::string content;
    if (!writePrettyJson(document_, content)) {
        // A document that cannot be written whole must never replace the file.
        logger_->error("Cannot serialise the parameters, file left unchanged: %s",
                       path_.string().c_str());
        return false;
    }
    if (!saveContentToFile(path_, content)) {
        logger_->error("Cannot save content into file: %s", path_.string().c_str());
        return false;
    }
    return true;
}

bool JsonFileParams::saveContentToFile(const boost::filesystem::path& path,
                                       const std::string& content) {
    if (path.empty()) {
        return false;
    }
    auto logger = createLogger("JsonFileParams::saveContentToFile");
    const std::string target = path.string();
    const std::string temporary = target + ".tmp";

    // The file keeps its mode (it may hold secrets); a new one is private.
    mode_t mode = S_IRUSR | S_IWUSR;
    struct stat current {};
    if (::lstat(target.c_str(), &current) == 0 && S_ISREG(current.st_mode)) {
        mode = current.st_mode & 07777;
    }

    logger->trace("Open %s for writing", temporary.c_str());
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0 || ::fchmod(fd, mode) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        logger->error("Failed to open file %s for writing", temporary.c_str());
        return false;
    }
    // The content must be on the disk before the name points at it, or a
    // crash right after the rename could leave an empty file.
    bool written =
        writeAll(fd, content.data(), content.size()) && writeAll(fd, "\n", 1) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written) {
        logger->error("Failed to close file %s", temporary.c_str());
        return false;
    }

    logger->trace("Contents written to file %s", temporary.c_str());
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        logger->error("Rename failed: %d (%s)", error, std::strerror(error));
        return false;
    }
    logger->trace("Renamed %s to %s", temporary.c_str(), target.c_str());
    // The rename itself is on the disk only once its folder is.
    const std::string folder = path.has_parent_path() ? path.parent_path().string() : ".";
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0 || ::fsync(folderFd) != 0) {
        logger->warn("Cannot sync folder %s", folder.c_str());
    }
    if (folderFd >= 0) {
        ::close(folderFd);
    }
    return true;
}

}  // namespace common
