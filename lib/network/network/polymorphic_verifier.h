#pragma once

#include <memory>
#include <utility>

#include <boost/asio/ssl/verify_context.hpp>

namespace network {

// Hands a verifier held by shared pointer to a TLS stream, which copies its
// verification callback.
template <typename T>
class polymorphic_verifier {
public:
    explicit polymorphic_verifier(std::shared_ptr<T> verifier) : verifier(std::move(verifier)) {}

    bool operator()(bool preverified, boost::asio::ssl::verify_context& context) const {
        return verifier->Verify(preverified, context);
    }

private:
    std::shared_ptr<T> verifier;
};

}  // namespace network
