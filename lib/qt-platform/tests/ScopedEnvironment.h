#pragma once

#include "support/ProcessState.h"

// The environment of a test, put back when it ends; it starts with none of the proxy variables set.
class ScopedEnvironment : public testsupport::ScopedEnvironment {
public:
    ScopedEnvironment() {
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "auto_proxy"}) {
            set(name, std::nullopt);
        }
    }
};
