#include "common/utils/RandomString.h"

#include <cstring>
#include <random>

namespace common {

std::string randomString(std::size_t count, const char* alphabet) {
    if (count == 0 || alphabet == nullptr || *alphabet == '\0') {
        return {};
    }
    const std::size_t size = std::strlen(alphabet);
    std::random_device device;
    std::uniform_int_distribution<std::size_t> draw(0, size - 1);
    std::string text;
    text.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        text.push_back(alphabet[draw(device)]);
    }
    return text;
}

}  // namespace common
