#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::posix {

// The errno value that tells "the file has no attribute of that name"
// (ENOATTR where the system has it; Linux reports ENODATA).
#ifdef ENOATTR
inline constexpr int kNoAttribute = ENOATTR;
#else
inline constexpr int kNoAttribute = ENODATA;
#endif

// Reads the extended attribute `name` of the file at `path`, as the system
// call of the same name does: with a null `value` (or a `size` of 0) it
// returns the attribute's length; otherwise it copies at most `size` bytes
// into `value` and returns the count copied. A symbolic link is followed. On failure it returns -1
// with errno set: kNoAttribute when the attribute is absent, ERANGE when `size` is too small,
// ENOTSUP when the file system keeps no such attributes.
//
// Attribute names are the product's own (for instance "com.wexo.quandel");
// Linux keeps them in the "user." namespace, which is added here. `position`
// and `options` must be 0 (only resource forks have other positions).
ssize_t getxattr(const std::string& path, const std::string& name, void* value, std::size_t size,
                 std::uint32_t position, int options);

// The name under which the system keeps the product's attribute `name`.
std::string systemAttributeName(const std::string& name);

}  // namespace platform::posix
