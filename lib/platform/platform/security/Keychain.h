#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform::security {

// Result codes of the keychain calls, as the Security framework numbers them.
using OSStatus = std::int32_t;
constexpr OSStatus errSecSuccess = 0;
constexpr OSStatus errSecIO = -36;
constexpr OSStatus errSecParam = -50;
constexpr OSStatus errSecItemNotFound = -25300;
constexpr OSStatus errSecDecode = -26275;

// The item classes this keychain holds.
enum class ItemClass { genericPassword };

// The attributes that find items (a query) or that an item gets. An attribute
// that is not set matches every item, or is not stored.
struct ItemQuery {
    ItemClass itemClass = ItemClass::genericPassword;
    std::optional<std::string> label;      // the item's label (UTF-8)
    std::optional<std::string> account;    // the account name (UTF-8)
    std::optional<std::string> valueData;  // the secret, any bytes
    bool returnAttributes = false;         // copyMatching: give label and account
    bool returnData = false;               // copyMatching: give the secret
};

// What copyMatching gives back of the first matching item.
struct ItemResult {
    std::optional<std::string> label;
    std::optional<std::string> account;
    std::optional<std::string> valueData;
};

// The user's keychain of generic passwords: a JSON file of the user's own
// (mode 0600, in a folder created with mode 0700), by default
// "$HOME/.local/share/keychains/login.json" (the home folder of the user
// database when HOME is not set). Every change rewrites the file through
// "<file>.tmp", synced and renamed over it, so the file always holds either
// the old or the new items. Calls are serialised between threads and, with
// an advisory lock on "<file>.lock", between processes.
// Only `add` makes what is missing of the keychain (folders, file, lock):
// to the other calls a keychain that is not there holds no item, and they
// leave nothing behind. Nothing below the home folder is reached through a
// link: the missing folders are made (and only they get mode 0700), every
// folder and file is opened without following a link, and the keychain's
// folder must belong to the user (or root) and be writable by nobody else;
// otherwise a call fails with errSecIO.
class Keychain {
public:
    // Adds one item with the attributes given.
    static OSStatus add(const ItemQuery& attributes);

    // Deletes every item that matches; errSecItemNotFound when none does.
    static OSStatus remove(const ItemQuery& query);

    // Fills `result` from the first item that matches, with what the query
    // asks to return; errSecItemNotFound when none does.
    static OSStatus copyMatching(const ItemQuery& query, ItemResult& result);

    // Gives every matching item the account and secret set in `attributes`,
    // in one change of the file; errSecItemNotFound when none matches.
    static OSStatus update(const ItemQuery& query, const ItemQuery& attributes);

    // The file that holds the items.
    static std::string path();

    // Test hooks: keep the items in another file until reset; make the
    // `count`-th file write from now fail (0: none fails).
    static void overridePath(const std::string& path);
    static void resetPath();
    static void failWriteNumber(unsigned count);
};

}  // namespace platform::security
