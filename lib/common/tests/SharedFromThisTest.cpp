#include <gtest/gtest.h>

#include <memory>

#include "core/SharedFromThis.h"

namespace {

class Connection : public core::SharedFromThis {
public:
    int value = 7;
    std::shared_ptr<Connection> self() { return sharedFromThis<Connection>(); }
    std::weak_ptr<Connection> weakSelf() { return weakFromThis<Connection>(); }
};

TEST(SharedFromThisTest, GivesReferencesThatShareOwnership) {
    auto owner = std::make_shared<Connection>();
    auto strong = owner->self();
    EXPECT_EQ(owner.get(), strong.get());
    EXPECT_EQ(2, owner.use_count());
    auto weak = owner->weakSelf();
    strong.reset();
    owner.reset();
    EXPECT_TRUE(weak.expired()) << "the object outlived its owners";
}

TEST(SharedFromThisTest, StrongReferenceKeepsTheObjectAlive) {
    std::weak_ptr<Connection> watch;
    std::shared_ptr<Connection> kept;
    {
        auto owner = std::make_shared<Connection>();
        watch = owner;
        kept = owner->self();
    }
    ASSERT_FALSE(watch.expired());
    EXPECT_EQ(7, kept->value);
}

TEST(SharedFromThisTest, FailsWhenNoSharedPointerOwnsTheObject) {
    Connection alone;
    EXPECT_THROW(alone.self(), std::bad_weak_ptr);
    EXPECT_TRUE(alone.weakSelf().expired());
}

}  // namespace
