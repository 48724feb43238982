#pragma once

#include <atomic>

#include <boost/assert.hpp>

namespace common {

// Holds at most one listener of interface T. Setting a second listener while
// one is set reports an assertion and then replaces it; setting null clears.
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
    virtual void setDelegate(T* listener) {
        if (listener != nullptr) {
            BOOST_ASSERT_MSG(!hasDelegate(), "Don't replace delegate");
        }
        delegate_.store(listener);
    }

private:
    std::atomic<T*> delegate_{nullptr};
};

}  // namespace common
