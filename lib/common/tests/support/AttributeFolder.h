#pragma once

#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

namespace testsupport {

// A fresh folder on a file system that keeps user extended attributes: under
// the temporary folder when it does, else under the current folder (the
// build tree). Removed with its content when the object goes.
class AttributeFolder {
public:
    AttributeFolder() {
        const char* temporary = std::getenv("TMPDIR");
        for (const std::string& base : {std::string(temporary && *temporary ? temporary : "/tmp"),
                                        boost::filesystem::current_path().string()}) {
            std::string pattern = base + "/quorvane-xattr-XXXXXX";
            std::vector<char> buffer(pattern.begin(), pattern.end());
            buffer.push_back('\0');
            if (::mkdtemp(buffer.data()) == nullptr) {
                continue;
            }
            const std::string folder = buffer.data();
            if (::setxattr(folder.c_str(), "user.quorvane.probe", "1", 1, 0) == 0) {
                ::removexattr(folder.c_str(), "user.quorvane.probe");
                path_ = folder;
                return;
            }
            boost::system::error_code error;
            boost::filesystem::remove_all(folder, error);
        }
    }

    ~AttributeFolder() {
        if (!path_.empty()) {
            boost::system::error_code error;
            boost::filesystem::remove_all(path_, error);
        }
    }

    AttributeFolder(const AttributeFolder&) = delete;
    AttributeFolder& operator=(const AttributeFolder&) = delete;

    // False when no file system at hand keeps user attributes.
    bool usable() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

    // Sets the attribute under its system name ("user." and `name`).
    bool set(const std::string& name, const std::string& value) const {
        const std::string systemName = "user." + name;
        return ::setxattr(path_.c_str(), systemName.c_str(), value.data(), value.size(), 0) == 0;
    }

private:
    std::string path_;
};

}  // namespace testsupport
