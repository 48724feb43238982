#pragma once

#include <cstddef>
#include <string>

#include "core/NonInitializingBuffer.h"

namespace network {

// Base64 of RFC 4648 (standard alphabet, "=" padding, no line breaks).
std::string Base64Encode(const unsigned char* bytes, std::size_t length);
std::string Base64Encode(const std::string& bytes);
std::string Base64Encode(const core::NonInitializingBuffer<unsigned char>& bytes);

}  // namespace network
