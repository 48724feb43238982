#pragma once

#include <memory>

#include <boost/asio/ssl/verify_context.hpp>

#include "common/logging/ILogger.h"

namespace network {

// Wraps a certificate check with log lines: the chain's error when OpenSSL
// did not pre-verify a certificate, and whether the check passed.
class verbose_verification_base {
public:
    verbose_verification_base();
    virtual ~verbose_verification_base() = default;

    bool Verify(bool preverified, boost::asio::ssl::verify_context& context);

protected:
    virtual bool Check(bool preverified, boost::asio::ssl::verify_context& context) = 0;

private:
    std::unique_ptr<common::ILogger> logger;
};

}  // namespace network
