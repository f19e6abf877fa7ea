// The broker's name lookup.
#include "gateway/broker/resolve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;

// A numeric host needs no resolver, not even time; a name goes through it.
TEST(GatewayHostLookup, NumericAtOnceNamesThroughTheResolver) {
    HostLookup lookup;
    std::string why;
    const auto passed = std::chrono::steady_clock::now() - 1s;
    EXPECT_EQ(lookup.Resolve("127.0.0.1", passed, nullptr, &why),
              std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(lookup.Resolve("::1", passed, nullptr, &why), std::vector<std::string>{"::1"});
    std::vector<std::string> local =
        lookup.Resolve("localhost", std::chrono::steady_clock::now() + 10s, nullptr, &why);
    EXPECT_TRUE(std::find(local.begin(), local.end(), "127.0.0.1") != local.end() ||
                std::find(local.begin(), local.end(), "::1") != local.end())
        << why;
}

}  // namespace
}  // namespace qor::gateway
