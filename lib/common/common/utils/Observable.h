#pragma once

#include <atomic>
#include <map>
#include <set>
#include <utility>

namespace common {

// The observers of one interface T. Observers are told in the order of the
// set. An observer removed while a notification runs is only marked, skipped
// from then on and dropped once the last running notification has ended, so
// observers may remove themselves or others from inside a notification.
//
// Not locked: observers are added, removed and told on one thread.
template <typename T>
class Observable {
public:
    virtual ~Observable() = default;

    void addObserver(T* observer) {
        observers_.insert(observer);
        removed_[observer] = false;
    }

    void removeObserver(T* observer) {
        if (notifying_.load() == 0) {
            observers_.erase(observer);
            removed_.erase(observer);
        } else if (observers_.count(observer) != 0) {
            removed_[observer] = true;
        }
    }

    // Calls `method` with `args` on every observer that is not marked as
    // removed. An error raised by an observer ends the notification and
    // goes on to the caller.
    template <typename Method, typename... Args>
    void notify(Method method, Args&&... args) {
        ++notifying_;
        struct Done {
            Observable& self;
            ~Done() {
                if (--self.notifying_ == 0) {
                    self.dropRemoved();
                }
            }
        } done{*this};
        for (auto it = observers_.begin(); it != observers_.end(); ++it) {
            T* observer = *it;
            const auto mark = removed_.find(observer);
            if (mark == removed_.end() || !mark->second) {
                (observer->*method)(args...);
            }
        }
    }

private:
    void dropRemoved() {
        for (auto it = removed_.begin(); it != removed_.end();) {
            if (it->second) {
                observers_.erase(it->first);
                it = removed_.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::set<T*> observers_;
    std::map<T*, bool> removed_;
    std::atomic<int> notifying_{0};
};

}  // namespace common
