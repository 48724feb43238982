#include "AttributeValueKinds.h"

#include <cstring>
#include <vector>

#include <rapidjson/document.h>

#include "platform/foundation/Bundle.h"
#include "platform/posix/ExtendedAttributes.h"

namespace quorvane::unattended {

namespace {

constexpr std::size_t kLargestAttribute = 1 << 20;

}  // namespace

std::map<std::string, ValueKind> attributeValueKinds(const std::string& attributeName) {
    std::map<std::string, ValueKind> kinds;
    const std::string bundle = platform::foundation::Bundle::main().bundlePath;
    std::vector<char> buffer(kLargestAttribute);
    const ssize_t length =
        platform::posix::getxattr(bundle, attributeName, buffer.data(), buffer.size(), 0, 0);
    if (length <= 0) {
        return kinds;
    }
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(
        buffer.data(), ::strnlen(buffer.data(), static_cast<std::size_t>(length)));
    if (document.HasParseError() || !document.IsObject()) {
        return kinds;
    }
    for (const auto& member : document.GetObject()) {
        const auto& value = member.value;
        kinds[std::string(member.name.GetString(), member.name.GetStringLength())] =
            value.IsString()                      ? ValueKind::text
            : value.IsInt64() || value.IsUint64() ? ValueKind::integer
                                                  : ValueKind::other;
    }
    return kinds;
}

}  // namespace quorvane::unattended
