#pragma once

#include <memory>

#include "common/params/IParams.h"

namespace common {

// A parameter store made of layers, read from the highest priority down.
class IParamsLayer : public IParams {
public:
    // Adds `layer` under `priority`. When that priority is taken and
    // `replace` is false the layer is refused and stays with the caller.
    virtual void addLayer(std::unique_ptr<IParams>&& layer, int priority, bool replace) = 0;
};

}  // namespace common
