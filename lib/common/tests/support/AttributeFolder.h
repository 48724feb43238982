#pragma once

#include <sys/xattr.h>

#include <optional>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "support/TempDir.h"

namespace testsupport {

// A fresh folder on a file system that keeps user extended attributes: under
// the temporary folder when it does, else under the current folder (the
// build tree). Removed with its content when the object goes.
class AttributeFolder {
public:
    AttributeFolder() {
        for (const std::string& base : {std::string(), boost::filesystem::current_path().string()}) {
            folder_.emplace("quorvane-xattr", base);
            if (::setxattr(path().c_str(), "user.quorvane.probe", "1", 1, 0) == 0) {
                ::removexattr(path().c_str(), "user.quorvane.probe");
                return;
            }
            folder_.reset();
        }
    }

    // False when no file system at hand keeps user attributes.
    bool usable() const { return folder_.has_value(); }
    const std::string& path() const {
        static const std::string none;
        return folder_ ? folder_->path() : none;
    }

    // Sets the attribute under its system name ("user." and `name`).
    bool set(const std::string& name, const std::string& value) const {
        const std::string systemName = "user." + name;
        return ::setxattr(path().c_str(), systemName.c_str(), value.data(), value.size(), 0) == 0;
    }

private:
    std::optional<TempDir> folder_;
};

}  // namespace testsupport
