#pragma once

#include <atomic>

#include <boost/assert.hpp>

namespace common {

// Holds at most one listener of type T, not owned. The pointer is atomic, so
// a listener may be set or cleared on another thread while the owner reads
// it.
template <typename T>
class Delegate {
public:
    Delegate() = default;
    Delegate(const Delegate&) = delete;
    Delegate& operator=(const Delegate&) = delete;

    virtual ~Delegate() { delegate_.store(nullptr); }

    virtual bool hasDelegate() const { return delegate_.load() != nullptr; }

    virtual T* delegate() { return delegate_.load(); }
    virtual const T* delegate() const { return delegate_.load(); }

    // Sets the listener; null clears it. Replacing a listener with another
    // one is a mistake, reported as an assertion; the new one is stored all
    // the same.
    virtual void setDelegate(T* delegate) {
        if (delegate != nullptr) {
            BOOST_ASSERT_MSG(!hasDelegate(), "Don't replace delegate");
        }
        delegate_.store(delegate);
    }

private:
    std::atomic<T*> delegate_{nullptr};
};

}  // namespace common
