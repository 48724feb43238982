#pragma once

#include <string>

namespace testsupport {

// A fresh folder under `base` (by default the system's temporary folder),
// removed with all its content when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "quorvane-test", const std::string& base = "");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace testsupport
