#pragma once

#include <cstddef>
#include <string>

#include "core/NonInitializingBuffer.h"

namespace network {

// Two hexadecimal digits per byte, high nibble first.
std::string ToHex(const unsigned char* bytes, std::size_t length, bool upperCase = false);
std::string ToHex(const std::string& bytes, bool upperCase = false);
std::string ToHex(const core::NonInitializingBuffer<unsigned char>& bytes, bool upperCase = false);

// The value of one hexadecimal digit of either case, or -1 for any other character.
int HexDigitValue(char c);

}  // namespace network
