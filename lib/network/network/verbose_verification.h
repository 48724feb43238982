#pragma once

#include <utility>

#include "network/verbose_verification_base.h"

namespace network {

// A check of type V (called as V(preverified, context)) with the logging of
// verbose_verification_base.
template <typename V>
class verbose_verification : public verbose_verification_base {
public:
    explicit verbose_verification(V verifier) : verifier(std::move(verifier)) {}

protected:
    bool Check(bool preverified, boost::asio::ssl::verify_context& context) override {
        return verifier(preverified, context);
    }

private:
    V verifier;
};

}  // namespace network
