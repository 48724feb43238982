#include "platform/security/Keychain.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace platform::security {

namespace {

// The keychain's folders below the home folder, and its file.
constexpr const char* kFolders[] = {".local", "share", "keychains"};
constexpr const char* kFile = "login.json";
constexpr mode_t kFileMode = 0600;
constexpr mode_t kFolderMode = 0700;

struct Item {
    std::optional<std::string> label;
    std::optional<std::string> account;
    std::optional<std::string> valueData;
};

struct State {
    std::mutex mutex;
    std::string overriddenPath;
    unsigned failingWrite = 0;
};

State& state() {
    static auto* instance = new State;
    return *instance;
}

// --- base64, for secrets that may be any bytes ---

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string encodeBase64(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest != 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) {
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> decodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        unsigned v = 0;
        int padding = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                ++padding;
                v <<= 6;
                continue;
            }
            const auto at = kAlphabet.find(c);
            if (at == std::string_view::npos || padding != 0) {
                return std::nullopt;
            }
            v = v << 6 | static_cast<unsigned>(at);
        }
        out += static_cast<char>(v >> 16 & 0xFF);
        if (padding < 2) {
            out += static_cast<char>(v >> 8 & 0xFF);
        }
        if (padding < 1) {
            out += static_cast<char>(v & 0xFF);
        }
    }
    return out;
}

// --- the file ---

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return {};
}

// Where the keychain lies: a folder taken as it is (the home folder, which
// may be a link), the folders below it, which are made when missing and
// never followed when they are links, and the file in the last of them.
struct Location {
    std::string base;
    std::vector<std::string> folders;
    std::string file;

    std::string path() const {
        std::string path = base;
        for (const auto& folder : folders) {
            path += "/" + folder;
        }
        return path + "/" + file;
    }
};

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<Location> currentLocation() {
    const std::string& overridden = state().overriddenPath;
    if (!overridden.empty()) {
        // The folder of the file is made when missing; the one above it is
        // taken as it is.
        const std::string folder = folderOf(overridden);
        if (folder.empty() || folder == "/") {
            return std::nullopt;
        }
        const std::string base = folderOf(folder);
        return Location{base.empty() ? "." : base, {nameOf(folder)}, nameOf(overridden)};
    }
    const std::string home = homeFolder();
    if (home.empty()) {
        return std::nullopt;
    }
    return Location{home, {std::begin(kFolders), std::end(kFolders)}, kFile};
}

std::string currentPath() {
    const std::string& overridden = state().overriddenPath;
    if (!overridden.empty()) {
        return overridden;
    }
    const auto location = currentLocation();
    return location ? location->path() : std::string();
}

// An open descriptor, closed when the object goes.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }

private:
    int fd_;
};

// Opens the keychain's folder, making the missing folders below the base
// when `make` is set (mode 0700; only folders it made get that mode), else
// setting `missing` when one is not there. A link below the base is not
// followed, and the keychain's own folder must be the caller's (or root's)
// and writable by nobody else, so that nobody else can place or replace a
// file in it. Not open when it cannot be used.
Descriptor openFolder(const Location& location, bool make, bool& missing) {
    Descriptor folder(::open(location.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const auto& name : location.folders) {
        if (folder.get() < 0) {
            return folder;
        }
        const bool made = make && ::mkdirat(folder.get(), name.c_str(), kFolderMode) == 0;
        if (make && !made && errno != EEXIST) {
            return Descriptor();
        }
        Descriptor next(::openat(folder.get(), name.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!make && next.get() < 0) {
            missing = errno == ENOENT;
            return Descriptor();
        }
        struct stat info {};
        if (made && next.get() >= 0 && ::fstat(next.get(), &info) == 0 &&
            info.st_uid == ::geteuid()) {
            ::fchmod(next.get(), kFolderMode);
        }
        folder = std::move(next);
    }
    struct stat info {};
    if (folder.get() < 0 || ::fstat(folder.get(), &info) != 0 ||
        (info.st_uid != ::geteuid() && info.st_uid != 0) ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return Descriptor();
    }
    return folder;
}

bool isUtf8(const std::string& text) {
    rapidjson::StringStream stream(text.c_str());
    rapidjson::GenericStringBuffer<rapidjson::UTF8<>> sink;
    while (static_cast<std::size_t>(stream.Tell()) < text.size()) {
        if (!rapidjson::UTF8<>::Validate(stream, sink)) {
            return false;
        }
    }
    return true;
}

// Serialises the calls of this process and, through an advisory lock on the
// file `name` in the keychain's folder, never through a link, those of other
// processes.
class Lock {
public:
    Lock(int folder, const std::string& name) : guard_(state().mutex) {
        fd_ = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~Lock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    std::unique_lock<std::mutex> guard_;
    int fd_ = -1;
};

bool readAll(int fd, std::string& out) {
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> stringMember(const rapidjson::Value& object, const char* name,
                                        bool& valid) {
    const auto it = object.FindMember(name);
    if (it == object.MemberEnd()) {
        return std::nullopt;
    }
    if (!it->value.IsString()) {
        valid = false;
        return std::nullopt;
    }
    return std::string(it->value.GetString(), it->value.GetStringLength());
}

// Reads the items from the file `name` in `folder`, a regular file reached
// without a link; a missing file holds none.
OSStatus load(int folder, const std::string& name, std::vector<Item>& items) {
    const Descriptor file(
        ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        return errno == ENOENT ? errSecSuccess : errSecIO;
    }
    struct stat info {};
    std::string text;
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || !readAll(file.get(), text)) {
        return errSecIO;
    }
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError() || !document.IsObject()) {
        return errSecDecode;
    }
    const auto list = document.FindMember("items");
    if (list == document.MemberEnd() || !list->value.IsArray()) {
        return errSecDecode;
    }
    for (const auto& entry : list->value.GetArray()) {
        if (!entry.IsObject()) {
            return errSecDecode;
        }
        bool valid = true;
        Item item;
        item.label = stringMember(entry, "label", valid);
        item.account = stringMember(entry, "account", valid);
        if (auto data = stringMember(entry, "data", valid)) {
            item.valueData = decodeBase64(*data);
            valid = valid && item.valueData.has_value();
        }
        if (!valid) {
            return errSecDecode;
        }
        items.push_back(std::move(item));
    }
    return errSecSuccess;
}

std::string serialise(const std::vector<Item>& items) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("items");
    writer.StartArray();
    for (const auto& item : items) {
        writer.StartObject();
        if (item.label) {
            writer.Key("label");
            writer.String(item.label->data(), static_cast<rapidjson::SizeType>(item.label->size()));
        }
        if (item.account) {
            writer.Key("account");
            writer.String(item.account->data(),
                          static_cast<rapidjson::SizeType>(item.account->size()));
        }
        if (item.valueData) {
            const std::string data = encodeBase64(*item.valueData);
            writer.Key("data");
            writer.String(data.data(), static_cast<rapidjson::SizeType>(data.size()));
        }
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

// Replaces the file `name` in `folder` by writing "<name>.tmp", syncing it
// and renaming it.
OSStatus save(int folder, const std::string& name, const std::vector<Item>& items) {
    if (state().failingWrite != 0 && --state().failingWrite == 0) {
        return errSecIO;
    }
    const std::string temporary = name + ".tmp";
    const int fd = ::openat(folder, temporary.c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kFileMode);
    if (fd < 0) {
        return errSecIO;
    }
    const bool written =
        ::fchmod(fd, kFileMode) == 0 && writeAll(fd, serialise(items)) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
        ::unlinkat(folder, temporary.c_str(), 0);
        return errSecIO;
    }
    ::fsync(folder);
    return errSecSuccess;
}

bool matches(const Item& item, const ItemQuery& query) {
    if (query.label && item.label != query.label) {
        return false;
    }
    if (query.account && item.account != query.account) {
        return false;
    }
    return true;
}

bool textAttributesValid(const ItemQuery& attributes) {
    return (!attributes.label || isUtf8(*attributes.label)) &&
           (!attributes.account || isUtf8(*attributes.account));
}

// Runs `change` on the items under the lock and saves them when it asks to.
// Only a call that `adds` makes the keychain's folders, file and lock: for
// the others a keychain that is not there holds no item, and they leave
// nothing behind.
template <typename Change>
OSStatus transact(bool adds, Change change) {
    std::unique_lock<std::mutex> pathGuard(state().mutex);
    const auto location = currentLocation();
    pathGuard.unlock();
    if (!location) {
        return errSecIO;
    }
    bool missing = false;
    const Descriptor folder = openFolder(*location, adds, missing);
    if (folder.get() < 0) {
        return missing ? errSecItemNotFound : errSecIO;
    }
    struct stat file {};
    if (!adds && ::fstatat(folder.get(), location->file.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT) {
        return errSecItemNotFound;
    }
    Lock lock(folder.get(), location->file + ".lock");
    std::vector<Item> items;
    if (const OSStatus status = load(folder.get(), location->file, items);
        status != errSecSuccess) {
        return status;
    }
    bool modified = false;
    const OSStatus status = change(items, modified);
    if (status != errSecSuccess || !modified) {
        return status;
    }
    return save(folder.get(), location->file, items);
}

}  // namespace

OSStatus Keychain::add(const ItemQuery& attributes) {
    if (!textAttributesValid(attributes)) {
        return errSecParam;
    }
    return transact(true, [&](std::vector<Item>& items, bool& modified) {
        items.push_back(Item{attributes.label, attributes.account, attributes.valueData});
        modified = true;
        return errSecSuccess;
    });
}

OSStatus Keychain::remove(const ItemQuery& query) {
    return transact(false, [&](std::vector<Item>& items, bool& modified) {
        const auto removed =
            std::erase_if(items, [&](const Item& item) { return matches(item, query); });
        modified = removed != 0;
        return modified ? errSecSuccess : errSecItemNotFound;
    });
}

OSStatus Keychain::copyMatching(const ItemQuery& query, ItemResult& result) {
    return transact(false, [&](std::vector<Item>& items, bool&) {
        for (const auto& item : items) {
            if (!matches(item, query)) {
                continue;
            }
            result = ItemResult{};
            if (query.returnAttributes) {
                result.label = item.label;
                result.account = item.account;
            }
            if (query.returnData) {
                result.valueData = item.valueData.value_or(std::string());
            }
            return errSecSuccess;
        }
        return errSecItemNotFound;
    });
}

OSStatus Keychain::update(const ItemQuery& query, const ItemQuery& attributes) {
    if (!textAttributesValid(attributes)) {
        return errSecParam;
    }
    return transact(false, [&](std::vector<Item>& items, bool& modified) {
        for (auto& item : items) {
            if (!matches(item, query)) {
                continue;
            }
            if (attributes.label) {
                item.label = attributes.label;
            }
            if (attributes.account) {
                item.account = attributes.account;
            }
            if (attributes.valueData) {
                item.valueData = attributes.valueData;
            }
            modified = true;
        }
        return modified ? errSecSuccess : errSecItemNotFound;
    });
}

std::string Keychain::path() {
    std::lock_guard lock(state().mutex);
    return currentPath();
}

void Keychain::overridePath(const std::string& path) {
    std::lock_guard lock(state().mutex);
    state().overriddenPath = path;
}

void Keychain::resetPath() {
    std::lock_guard lock(state().mutex);
    state().overriddenPath.clear();
}

void Keychain::failWriteNumber(unsigned count) {
    std::lock_guard lock(state().mutex);
    state().failingWrite = count;
}

}  // namespace platform::security
