#include <gtest/gtest.h>

#include "interprocess/SessionUser.h"

namespace {

// The test program takes root for the local session's user (no user's
// session) whatever machine it runs on; a test that needs a session user
// names one (SessionOf).
class RootSession : public ::testing::Environment {
public:
    void SetUp() override {
        interprocess::SessionUser::setSource([] { return uid_t{0}; });
    }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new RootSession);

}  // namespace
