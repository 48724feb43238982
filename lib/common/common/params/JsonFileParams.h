#pragma once

#include <map>
#include <memory>
#include <string>

#include <rapidjson/document.h>
#include <boost/filesystem/path.hpp>

#include "common/logging/ILogger.h"
#include "common/params/IParams.h"

namespace common {

// The parameter layer kept in a file holding one flat JSON object, each
// member a parameter (keys case-sensitive). The file is read once, at
// construction (refused when nested deeper than kMaxJsonNesting); every
// change rewrites it completely and replaces it atomically. The mode is the
// access level: 0 read-only, 1 removable, 2 writable.
class JsonFileParams : public IParams {
public:
    // Never fails: a missing or damaged file is an empty object.
    JsonFileParams(const boost::filesystem::path& path, int mode);
    ~JsonFileParams() override;

    void lock() override {}
    void unlock() override {}
    AccessLevel accessLevel() const override;

    // The member's value as text (see jsonValueToText).
    std::string getValue(const std::string& key, const std::string& defaultValue) const override;
    // Mode 2: stores the value, typed (see below), and saves the file;
    // returns whether the file was saved. Refused in the other modes.
    //
    // A text is stored as a JSON number only when it is exactly the text the
    // number reads back as ("8080", "-3", "2.5", "1e+20"); anything else
    // ("007", "+5", "1e20", "nan", "true") is stored as a string, as are the
    // values of "DeviceName" and "Labels" always.
    bool setValue(const std::string& key, const std::string& value, bool flag) override;
    // Whether the member exists, also with a null or empty value.
    bool hasValue(const std::string& key) const override;
    // Modes 1 and 2: removes the member and saves the file; false when there
    // was no such member or the save failed.
    bool removeValue(const std::string& key) override;
    std::set<std::string> keys() const override;
    std::string dump() const override;

    // Mode 2: stores the value of `key` exactly as `source` holds it (its
    // JSON value, whatever its type: no text conversion) and saves the file.
    // False when `source` has no such member, this layer is not writable or
    // the save failed.
    bool copyValueFrom(const JsonFileParams& source, const std::string& key);

    // Replaces the file at `path` by `content` and a line break: writes
    // `path` with ".tmp" appended, forces it to disk, renames it over `path`
    // and syncs the folder. The file keeps the mode of the one it replaces
    // (0600 when there was none). On failure the previous file is left as it
    // was.
    static bool saveContentToFile(const boost::filesystem::path& path, const std::string& content);

private:
    static std::string getFileContent(const boost::filesystem::path& path);
    void read();
    bool save();

    rapidjson::Document document_;
    std::map<std::string, std::string> containerTexts_;  // see containerTexts
    boost::filesystem::path path_;
    std::unique_ptr<ILogger> logger_;
    int mode_;
};

}  // namespace common
