#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/actor/Actor.h"

using common::Actor;
using common::ITaskQueue;

namespace {

// A queue that keeps its tasks until the test runs them.
class ManualQueue : public ITaskQueue {
public:
    struct Shared {
        std::deque<Task> tasks;
        bool finished = false;
        int finishCalls = 0;
        bool droppedPending = false;
    };

    explicit ManualQueue(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    std::string name() const override { return "Manual (0123456789)"; }
    std::size_t push(const Task task, const std::chrono::milliseconds&,
                     const TaskPriority priority) override {
        return push(task, priority);
    }
    std::size_t push(const Task task, const TaskPriority) override {
        if (shared_->finished) {
            return kInvalidTaskId;
        }
        shared_->tasks.push_back(task);
        return ++lastId_;
    }
    void runTasks(std::function<bool()>, bool) override {}
    void finish(Task callback, bool dropPending) override {
        ++shared_->finishCalls;
        shared_->droppedPending = dropPending;
        if (dropPending) {
            shared_->tasks.clear();
        }
        runAll(*shared_);
        shared_->finished = true;
        bool reschedule = false;
        callback(reschedule, 0);
    }
    bool hasTasks() override { return !shared_->tasks.empty(); }
    void setDebugAssertOnNextPush() override {}

    // Runs queued tasks, those they queue included, in order.
    static void runAll(Shared& shared) {
        while (!shared.tasks.empty()) {
            auto task = std::move(shared.tasks.front());
            shared.tasks.pop_front();
            bool reschedule = false;
            task(reschedule, 0);
        }
    }

private:
    std::shared_ptr<Shared> shared_;
    std::size_t lastId_ = 0;
};

struct Ping {
    std::string id;
};
struct Pong {
    std::string id;
};
struct SendSync {
    std::string text;
};

// An owner with two states, as a connection has.
class Owner {
public:
    using OwnActor = Actor<Owner>;

    Owner() : queue(std::make_shared<ManualQueue::Shared>()) {
        actor = std::make_unique<OwnActor>(this, std::make_unique<ManualQueue>(queue));
    }

    virtual ~Owner() = default;

    virtual void idle(OwnActor& a) {
        a.subscribe<void, Ping>([this](OwnActor&, Ping ping) { log.push_back("idle:" + ping.id); });
        a.subscribe<bool, SendSync>([](OwnActor&, SendSync) { return false; });
    }

    void connected(OwnActor& a, const bool accepted) {
        log.push_back(accepted ? "connected:accepted" : "connected:rejected");
        a.subscribe<void, Ping>(
            [this](OwnActor&, Ping ping) { log.push_back("connected:" + ping.id); });
        a.subscribe<void, Pong>(
            [this](OwnActor&, Pong pong) { log.push_back("connected pong:" + pong.id); });
        a.subscribe<bool, SendSync>([this](OwnActor&, SendSync request) {
            log.push_back("sync:" + request.text);
            return true;
        });
    }

    void run() { ManualQueue::runAll(*queue); }

    std::shared_ptr<ManualQueue::Shared> queue;
    std::unique_ptr<OwnActor> actor;
    std::vector<std::string> log;
};

class DerivedOwner : public Owner {
public:
    void idle(OwnActor& a) override {
        log.push_back("derived idle");
        Owner::idle(a);
    }
};

using Log = std::vector<std::string>;

// Messages wait in the queue and run in order; a state switch is queued
// behind earlier messages; what comes before the first state, or what the
// current state does not handle, is dropped. States may be virtual.
TEST(ActorTest, MessagesAndStateSwitchesRunInOrderThroughTheQueue) {
    DerivedOwner owner;
    owner.actor->dispatch(Ping{"lost"});
    EXPECT_FALSE(owner.actor->dispatchSync<bool>(SendSync{"x"}));
    owner.actor->became(&Owner::idle);
    owner.actor->dispatch(Ping{"1"});
    owner.actor->dispatch(Ping{"2"});
    owner.actor->became(&Owner::connected, true);
    owner.actor->dispatch(Ping{"after"});
    EXPECT_TRUE(owner.log.empty());
    EXPECT_FALSE(owner.queue->tasks.empty());
    owner.run();
    EXPECT_EQ((Log{"derived idle", "idle:1", "idle:2", "connected:accepted", "connected:after"}),
              owner.log);

    owner.log.clear();
    owner.actor->dispatch(Pong{"p1"});
    owner.actor->became(&Owner::idle);
    owner.actor->dispatch(Pong{"p2"});
    owner.run();
    EXPECT_EQ((Log{"connected pong:p1", "derived idle"}), owner.log);
}

TEST(ActorTest, SynchronousRequestsRunAtOnceInTheCurrentState) {
    Owner owner;
    owner.actor->became(&Owner::connected, true);
    owner.run();
    owner.log.clear();
    EXPECT_TRUE(owner.actor->dispatchSync<bool>(SendSync{"now"}));
    EXPECT_EQ((Log{"sync:now"}), owner.log);
    EXPECT_TRUE(owner.queue->tasks.empty());
    // No answer for a type without a subscription, and a message handler of
    // another result type does not answer either.
    EXPECT_FALSE(owner.actor->dispatchSync<bool>(Pong{"x"}));
    EXPECT_EQ(0, owner.actor->dispatchSync<int>(SendSync{"wrong result type"}));
    EXPECT_EQ((Log{"sync:now"}), owner.log);
}

// A later subscription replaces the handler, even from inside the handler
// being replaced, whose captures must stay valid until it returns.
TEST(ActorTest, SubscribingAgainReplacesTheHandlerEvenFromWithinIt) {
    Owner owner;
    owner.actor->became([](Owner* self, Actor<Owner>& a) {
        a.subscribe<void, Ping>([self](Actor<Owner>&, Ping) { self->log.push_back("first"); });
        auto label = std::make_shared<std::string>("old handler");
        a.subscribe<void, Ping>([self, label](Actor<Owner>& inner, Ping) {
            inner.subscribe<void, Ping>(
                [self](Actor<Owner>&, Ping) { self->log.push_back("new handler"); });
            self->log.push_back(*label + " done");
        });
    });
    owner.actor->dispatch(Ping{});
    owner.actor->dispatch(Ping{});
    owner.run();
    EXPECT_EQ((Log{"old handler done", "new handler"}), owner.log);
}

TEST(ActorTest, HandlerThatSwitchesStateDispatchesIntoTheNewState) {
    Owner owner;
    owner.actor->became([](Owner* self, Actor<Owner>& a) {
        a.subscribe<void, Ping>([self](Actor<Owner>& inner, Ping ping) {
            self->log.push_back("first state:" + ping.id);
            inner.became(&Owner::connected, true);
            inner.dispatch(Ping{"re-sent"});
        });
    });
    owner.actor->dispatch(Ping{"1"});
    owner.run();
    EXPECT_EQ((Log{"first state:1", "connected:accepted", "connected:re-sent"}), owner.log);
}

TEST(ActorTest, DestructionDropsQueuedWork) {
    Owner owner;
    owner.actor->became(&Owner::idle);
    owner.run();
    owner.actor->dispatch(Ping{"never"});
    owner.actor->became(&Owner::connected, true);
    auto queue = owner.queue;
    owner.actor.reset();
    EXPECT_TRUE(owner.log.empty());
    EXPECT_EQ(1, queue->finishCalls);
    EXPECT_TRUE(queue->droppedPending);
    EXPECT_TRUE(queue->tasks.empty());
}

}  // namespace
