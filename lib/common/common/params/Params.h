#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "common/logging/ILogger.h"
#include "common/params/IParamsLayer.h"

namespace common {

// The process's parameter store: layers by priority, at most one per
// priority. A read asks the layers from the highest priority down and takes
// the first non-empty text; a write goes to every writable layer. One
// recursive mutex serialises every operation, layers included.
class Params : public IParamsLayer {
public:
    Params();
    ~Params() override;

    void lock() override;
    void unlock() override;

    // Not meaningful for the store: reports an assertion and answers Writable.
    AccessLevel accessLevel() const override;

    // The first non-empty text over the layers; the text "(null)" reads as
    // empty and hides lower layers; `defaultValue` when no layer has one.
    std::string getValue(const std::string& key, const std::string& defaultValue) const override;
    // Writes into every writable layer; true when one of them took it.
    bool setValue(const std::string& key, const std::string& value, bool flag) override;
    // Whether getValue finds a non-empty text.
    bool hasValue(const std::string& key) const override;
    // Removes from every layer that is not read-only; false when a layer
    // failed or the key still has a value afterwards.
    bool removeValue(const std::string& key) override;
    std::set<std::string> keys() const override;
    // Each layer from the highest priority down: "Param layer Id: ", the
    // priority, a line break, then the layer's own dump.
    std::string dump() const override;

    void addLayer(std::unique_ptr<IParams>&& layer, int priority, bool replace) override;

private:
    mutable std::recursive_mutex mutex_;
    std::map<int, std::unique_ptr<IParams>, std::greater<int>> layers_;
    std::unique_ptr<ILogger> logger_;
};

}  // namespace common
