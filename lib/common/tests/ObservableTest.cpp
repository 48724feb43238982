#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/utils/Observable.h"

namespace {

class Listener;

class Subject : public common::Observable<Listener> {};

class Listener {
public:
    explicit Listener(std::vector<std::string>& log, std::string name)
        : log_(log), name_(std::move(name)) {}
    virtual ~Listener() = default;

    virtual void onMessage(const std::string& text, int n) {
        log_.push_back(name_ + ":" + text + ":" + std::to_string(n));
        if (onCall) {
            onCall();
        }
    }

    std::function<void()> onCall;

protected:
    std::vector<std::string>& log_;
    std::string name_;
};

class ThrowingListener : public Listener {
public:
    using Listener::Listener;
    void onMessage(const std::string&, int) override { throw std::runtime_error("observer"); }
};

TEST(ObservableTest, EveryObserverIsToldOnceWithTheArguments) {
    std::vector<std::string> log;
    // Observers are told in the order of their addresses.
    std::vector<Listener> listeners{Listener(log, "a"), Listener(log, "b")};
    Subject subject;
    subject.addObserver(&listeners[1]);
    subject.addObserver(&listeners[0]);
    subject.addObserver(&listeners[0]);
    subject.notify(&Listener::onMessage, std::string("hi"), 3);
    EXPECT_EQ((std::vector<std::string>{"a:hi:3", "b:hi:3"}), log);

    subject.removeObserver(&listeners[0]);
    subject.notify(&Listener::onMessage, std::string("again"), 4);
    EXPECT_EQ("b:again:4", log.back());
    EXPECT_EQ(3u, log.size());
}

TEST(ObservableTest, ObserversRemovedDuringANotificationAreSkippedAndDropped) {
    std::vector<std::string> log;
    std::vector<Listener> listeners{Listener(log, "a"), Listener(log, "b"), Listener(log, "c")};
    Subject subject;
    for (auto& listener : listeners) {
        subject.addObserver(&listener);
    }
    // The first removes itself and the third; the third is not told.
    listeners[0].onCall = [&] {
        subject.removeObserver(&listeners[0]);
        subject.removeObserver(&listeners[2]);
    };
    subject.notify(&Listener::onMessage, std::string("x"), 1);
    EXPECT_EQ((std::vector<std::string>{"a:x:1", "b:x:1"}), log);

    log.clear();
    subject.notify(&Listener::onMessage, std::string("y"), 2);
    EXPECT_EQ((std::vector<std::string>{"b:y:2"}), log);

    // An observer removed and added again within one notification stays.
    log.clear();
    listeners[1].onCall = [&] {
        subject.removeObserver(&listeners[1]);
        subject.addObserver(&listeners[1]);
    };
    subject.notify(&Listener::onMessage, std::string("z"), 3);
    listeners[1].onCall = nullptr;
    subject.notify(&Listener::onMessage, std::string("w"), 4);
    EXPECT_EQ((std::vector<std::string>{"b:z:3", "b:w:4"}), log);
}

TEST(ObservableTest, AnObserverErrorEndsTheNotificationAndRemovalWorksAfterwards) {
    std::vector<std::string> log;
    ThrowingListener thrower(log, "t");
    Listener other(log, "o");
    Subject subject;
    subject.addObserver(&thrower);
    subject.addObserver(&other);
    EXPECT_THROW(subject.notify(&Listener::onMessage, std::string("x"), 1), std::runtime_error);
    // The count of running notifications went down: removal is immediate.
    subject.removeObserver(&thrower);
    log.clear();
    subject.notify(&Listener::onMessage, std::string("y"), 2);
    EXPECT_EQ((std::vector<std::string>{"o:y:2"}), log);
}

}  // namespace
