#include <gtest/gtest.h>

#include "network/HTTPRedirectPolicy.h"

namespace {

using network::AsyncHTTPRequest;
using network::HTTPRedirectPolicy;

TEST(HTTPRedirectPolicyTest, OnlyA303TurnsTheRequestIntoABodilessGetAndOnlyHeadStays) {
    network::URL from;
    network::URL target;
    ASSERT_TRUE(network::ParseURL("http://h/a", from));
    ASSERT_TRUE(network::ParseURL("http://h/b", target));
    const struct {
        network::HTTPStatusCode status;
        const char* method;
        const char* sent;
        bool bodyKept;
    } rows[] = {
        {303, "POST", "GET", false},
        {303, "HEAD", "HEAD", false},
        // Methods are case-sensitive: "head" is not HEAD.
        {303, "head", "GET", false},
        {302, "POST", "POST", true},
        {307, "PUT", "PUT", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.status) + " " + row.method);
        AsyncHTTPRequest request;
        request.SetMethod(row.method);
        request.SetBody(core::NonInitializingBuffer<unsigned char>(
            reinterpret_cast<const unsigned char*>("data"), 4));
        request.AddHeader("Content-Length", "4");
        const auto left = request.redirectsLeft;
        HTTPRedirectPolicy::Rewrite(request, row.status, from, target);
        EXPECT_EQ(request.method, row.sent);
        EXPECT_EQ(request.body.size(), row.bodyKept ? 4u : 0u);
        EXPECT_EQ(request.headers.size(), row.bodyKept ? 1u : 0u);
        EXPECT_EQ(request.redirectsLeft, left - 1);
    }
}

}  // namespace
