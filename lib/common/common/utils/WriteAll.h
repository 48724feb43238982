#pragma once

#include <cstddef>

namespace common {

// Writes all of `size` bytes of `data` to `fd`, again where a signal cut a
// write short. 0 once every byte went out, else the errno value of the
// write that failed (EIO for one that wrote nothing without saying why).
int writeAll(int fd, const void* data, std::size_t size);

}  // namespace common
