#include "platform/posix/ExtendedAttributes.h"

#include <sys/xattr.h>

namespace platform::posix {

std::string systemAttributeName(const std::string& name) {
    return "user." + name;
}

ssize_t getxattr(const std::string& path, const std::string& name, void* value, std::size_t size,
                 std::uint32_t position, int options) {
    if (position != 0 || options != 0) {
        errno = EINVAL;
        return -1;
    }
    const std::string systemName = systemAttributeName(name);
    return ::getxattr(path.c_str(), systemName.c_str(), value, value == nullptr ? 0 : size);
}

}  // namespace platform::posix
