#include "common/params/Params.h"

#include <boost/assert.hpp>

namespace common {

namespace {

constexpr const char* kNullText = "(null)";

}  // namespace

Params::Params() : logger_(createLogger("Params")) {}

Params::~Params() = default;

void Params::lock() {
    mutex_.lock();
}

void Params::unlock() {
    mutex_.unlock();
}

IParams::AccessLevel Params::accessLevel() const {
    BOOST_ASSERT_MSG(false, "Access level on params is not applicable");
    return Writable;
}

std::string Params::getValue(const std::string& key, const std::string& defaultValue) const {
    std::lock_guard lock(mutex_);
    for (const auto& [priority, layer] : layers_) {
        if (!layer->hasValue(key)) {
            continue;
        }
        std::string value = layer->getValue(key, "");
        if (value.empty()) {
            continue;
        }
        if (value == kNullText) {
            return {};
        }
        return value;
    }
    return defaultValue;
}

bool Params::setValue(const std::string& key, const std::string& value, bool /*flag*/) {
    std::lock_guard lock(mutex_);
    int successes = 0;
    for (const auto& [priority, layer] : layers_) {
        if (layer->accessLevel() != Writable) {
            continue;
        }
        if (layer->setValue(key, value, false)) {
            ++successes;
        } else {
            logger_->warn("SetValue failed. Key: %s", key.c_str());
        }
    }
    if (successes > 0) {
        return true;
    }
    logger_->debug("No Writable layer found, could not set value: %s: %s", key.c_str(),
                   value.c_str());
    return false;
}

bool Params::hasValue(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return !getValue(key, "").empty();
}

bool Params::removeValue(const std::string& key) {
    std::lock_guard lock(mutex_);
    bool result = true;
    for (const auto& [priority, layer] : layers_) {
        if (layer->accessLevel() != ReadOnly) {
            // Every layer is asked, whatever the ones before answered.
            result = layer->removeValue(key) && result;
        }
    }
    if (hasValue(key)) {
        logger_->warn(
            "Key '%s' still have a value after remove, the key is probably present in a "
            "read-only layer",
            key.c_str());
        return false;
    }
    return result;
}

std::set<std::string> Params::keys() const {
    std::lock_guard lock(mutex_);
    std::set<std::string> all;
    for (const auto& [priority, layer] : layers_) {
        all.merge(layer->keys());
    }
    return all;
}

std::string Params::dump() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& [priority, layer] : layers_) {
        text += "Param layer Id: ";
        text += std::to_string(priority);
        text += "\n";
        text += layer->dump();
    }
    return text;
}

void Params::addLayer(std::unique_ptr<IParams>&& layer, int priority, bool replace) {
    std::lock_guard lock(mutex_);
    if (!layer) {
        BOOST_ASSERT_MSG(layer, "A parameter layer must not be null");
        return;
    }
    auto existing = layers_.find(priority);
    if (existing != layers_.end() && !replace) {
        logger_->warn("New layer not added, as a layer already exists with priority %d", priority);
        return;
    }
    layers_[priority] = std::move(layer);
}

}  // namespace common
