#pragma once

#include <string>

namespace testsupport {

// A fresh folder (0755) in a chain of folders that are root's alone from "/"
// down, wherever the clone and the temporary folder lie: made in the first
// of a few system folders whose chain is root's alone ("/run", "/var/lib",
// "/var/cache"), as root only. Removed with its content when the object goes.
class RootOnlyFolder {
public:
    RootOnlyFolder();
    ~RootOnlyFolder();
    RootOnlyFolder(const RootOnlyFolder&) = delete;
    RootOnlyFolder& operator=(const RootOnlyFolder&) = delete;

    // False, with the reason in why(), when no such folder could be made.
    bool usable() const { return !path_.empty(); }
    const std::string& why() const { return why_; }

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    std::string why_;
};

// The first folder from "/" down to `path` (an absolute path whose folders
// exist) that is not root's alone: a link, another user's, or writable by
// group or others; empty when there is none.
std::string firstFolderNotRootsAlone(const std::string& path);

}  // namespace testsupport
