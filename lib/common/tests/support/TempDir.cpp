#include "support/TempDir.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include <boost/filesystem/operations.hpp>

namespace testsupport {

TempDir::TempDir(const std::string& prefix, const std::string& base) {
    const char* temporary = std::getenv("TMPDIR");
    std::string pattern = (!base.empty()                ? base
                           : temporary && *temporary ? std::string(temporary)
                                                     : std::string("/tmp")) +
                          "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = buffer.data();
}

TempDir::~TempDir() {
    boost::system::error_code error;
    boost::filesystem::remove_all(path_, error);
}

}  // namespace testsupport
