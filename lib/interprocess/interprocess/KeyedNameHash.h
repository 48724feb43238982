#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>

namespace interprocess {

// The hash of the names that other users choose (the entries they make in the
// shared folder) in a root process's hashed sets: SipHash-2-4 under a key
// drawn at random once per process, so that names another process chose to
// share a bucket share one here only by chance. The standard library's hash
// of a string is the same in every process: with it, another user computes in
// seconds tens of thousands of names that fall in one bucket, and each look-up
// of one then walks them all.
class KeyedNameHash {
public:
    using Key = std::array<std::uint8_t, 16>;

    std::size_t operator()(std::string_view name) const {
        return static_cast<std::size_t>(sipHash(processKey(), name.data(), name.size()));
    }

    // SipHash-2-4 of the `size` bytes at `data` under `key`.
    static std::uint64_t sipHash(const Key& key, const void* data, std::size_t size);
    // This process's key: drawn from the kernel's random source (through
    // libsodium, which also computes the hash) at its first use and kept for
    // the process's life (a forked child keeps its parent's, for the names it
    // holds were hashed with it).
    static const Key& processKey();
};

}  // namespace interprocess
