#pragma once

#include <set>
#include <string>

#include "common/params/FromString.h"

namespace common {

// A store of text values under text keys: the one way every component reads
// its configuration. The process's store is a `Params` made of layers, each
// layer itself an `IParams`.
class IParams {
public:
    enum AccessLevel : int {
        ReadOnly = 0,   // neither set nor removed through the store
        Removable = 1,  // removable but not settable
        Writable = 2,
    };

    virtual ~IParams() = default;

    // Several calls between lock and unlock act as one; only the layered
    // store has a lock, single layers do nothing here.
    virtual void lock() = 0;
    virtual void unlock() = 0;

    virtual AccessLevel accessLevel() const = 0;
    // Not used; false everywhere.
    virtual bool reservedFlag() const { return false; }

    virtual std::string getValue(const std::string& key, const std::string& defaultValue) const = 0;
    // `flag` is read by no implementation.
    virtual bool setValue(const std::string& key, const std::string& value, bool flag) = 0;
    virtual bool hasValue(const std::string& key) const = 0;
    virtual bool removeValue(const std::string& key) = 0;
    virtual std::set<std::string> keys() const = 0;
    virtual std::string dump() const = 0;

    // The value of `key` read as a T (see fromString); `defaultValue` when
    // the key has no value or its text is no T.
    template <typename T>
    T get(const std::string& key, const T& defaultValue) const {
        if (!hasValue(key)) {
            return defaultValue;
        }
        T value{};
        if (!fromString(getValue(key, ""), value)) {
            return defaultValue;
        }
        return value;
    }
};

}  // namespace common
