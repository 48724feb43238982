#pragma once

#include <memory>

namespace core {

// Base of objects that are always owned through a shared pointer and hand
// out strong or weak references to themselves, for instance to keep
// themselves alive while an asynchronous step is pending.
class SharedFromThis : public std::enable_shared_from_this<SharedFromThis> {
public:
    virtual ~SharedFromThis() = default;

    // A new strong reference to this object as `Derived`. Throws
    // std::bad_weak_ptr when no shared pointer owns the object.
    template <typename Derived = SharedFromThis>
    std::shared_ptr<Derived> sharedFromThis() {
        return std::static_pointer_cast<Derived>(shared_from_this());
    }

    template <typename Derived = SharedFromThis>
    std::shared_ptr<const Derived> sharedFromThis() const {
        return std::static_pointer_cast<const Derived>(shared_from_this());
    }

    // A weak reference to this object as `Derived`; empty when no shared
    // pointer owns the object.
    template <typename Derived = SharedFromThis>
    std::weak_ptr<Derived> weakFromThis() {
        return std::static_pointer_cast<Derived>(weak_from_this().lock());
    }

protected:
    SharedFromThis() = default;
    SharedFromThis(const SharedFromThis&) = default;
    SharedFromThis& operator=(const SharedFromThis&) = default;
};

}  // namespace core
