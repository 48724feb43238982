#include "common/params/ParamsDump.h"

#include "common/params/IParams.h"

namespace common {

std::string dumpParams(const IParams& layer) {
    std::string text;
    for (const auto& key : layer.keys()) {
        text += key;
        text += ": ";
        text += layer.getValue(key, "");
        text += "\n";
    }
    return text;
}

}  // namespace common
