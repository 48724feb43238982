#pragma once

#include <functional>
#include <map>
#include <memory>
#include <type_traits>
#include <typeindex>
#include <utility>

#include "common/taskscheduler/ITaskQueue.h"

namespace common {

// Makes an owner of type T an actor: messages of any copyable value type
// reach the owner one at a time through the actor's own task queue, and what
// happens to a message depends on the current state, a set of subscriptions
// (one handler per message type) that `became` replaces as a whole.
//
// Sending a message never runs its handler at once: it posts a task. A state
// switch is posted the same way, so messages sent before it are still handled
// by the old state. Handlers and state switches run on the thread that runs
// the task scheduler; the actor has no lock of its own.
template <typename T>
class Actor {
public:
    class ISubscription {
    public:
        virtual ~ISubscription() = default;
    };

    // The handler of message type M. R is void for messages that travel
    // through the queue and the answer's type for synchronous requests.
    template <typename R, typename M>
    class Subscription : public ISubscription {
    public:
        using Handler = std::function<R(Actor<T>&, M)>;
        explicit Subscription(Handler handler) : handler(std::move(handler)) {}
        Handler handler;
    };

    using State = std::function<void(T*, Actor<T>&)>;
    template <typename A>
    using StateWith = std::function<void(T*, Actor<T>&, A)>;

    // No subscriptions and no state: until the first state switch has run,
    // messages are dropped and synchronous requests answer the default.
    Actor(T* owner, std::unique_ptr<ITaskQueue> queue) : owner_(owner), queue_(std::move(queue)) {}

    // Finishes the queue with the queued work dropped: no message or state
    // switch still queued runs, now or later.
    virtual ~Actor() {
        try {
            if (queue_) {
                queue_->finish([](bool&, unsigned long) {}, true);
            }
        } catch (...) {
        }
        subscriptions_.clear();
        queue_.reset();
    }

    Actor(const Actor&) = delete;
    Actor& operator=(const Actor&) = delete;

    // Makes `handler` the one for messages of type M, replacing any earlier
    // one. Called by state handlers, on the queue's thread. A handler that is
    // running when it is replaced finishes its call.
    template <typename R, typename M>
    void subscribe(std::function<R(Actor<T>&, M)> handler) {
        subscriptions_[std::type_index(typeid(M))] =
            std::make_shared<Subscription<R, M>>(std::move(handler));
    }

    // Posts the message; when its task runs, the current state's handler for
    // M gets it, or it is dropped when there is none.
    template <typename M>
    void dispatch(M message) {
        push([this, message = std::move(message)] {
            // The copy keeps the subscription alive while its handler runs,
            // even if the handler replaces it.
            const auto subscription = find(std::type_index(typeid(M)));
            if (auto* typed = dynamic_cast<Subscription<void, M>*>(subscription.get())) {
                typed->handler(*this, message);
            }
        });
    }

    // Runs the current state's handler for M at once on the calling thread
    // and returns its answer; a value-initialised R when there is none.
    template <typename R, typename M>
    R dispatchSync(M message) {
        const auto subscription = find(std::type_index(typeid(M)));
        if (auto* typed = dynamic_cast<Subscription<R, M>*>(subscription.get())) {
            return typed->handler(*this, std::move(message));
        }
        return R{};
    }

    // Posts a switch to the state that `state` enters: when the task runs,
    // every subscription goes and `state` is called with the owner and the
    // actor (and the argument) to subscribe what the new state handles.
    void became(State state) {
        push([this, state = std::move(state)] {
            subscriptions_.clear();
            state(owner_, *this);
        });
    }

    template <typename A>
    void became(std::type_identity_t<StateWith<A>> state, A argument) {
        push([this, state = std::move(state), argument = std::move(argument)] {
            subscriptions_.clear();
            state(owner_, *this, argument);
        });
    }

private:
    template <typename Work>
    void push(Work work) {
        if (!queue_) {
            return;
        }
        queue_->push([work = std::move(work)](bool&, unsigned long) mutable { work(); },
                     std::chrono::milliseconds(0), 0);
    }

    std::shared_ptr<ISubscription> find(const std::type_index& type) const {
        const auto it = subscriptions_.find(type);
        return it == subscriptions_.end() ? nullptr : it->second;
    }

    T* owner_;
    std::unique_ptr<ITaskQueue> queue_;
    // Shared so that a running handler keeps its own subscription alive.
    std::map<std::type_index, std::shared_ptr<ISubscription>> subscriptions_;
};

}  // namespace common
