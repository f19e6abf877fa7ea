// Logins: failures slowed down per client, names not told apart by time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "gateway/http/login_throttle.h"
#include "gateway/http/users.h"
#include "tests/gateway/http/http_support.h"

namespace qor::gateway {
namespace {

using Clock = LoginThrottle::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(GatewayLoginThrottle, TenFailuresAreFreeThenEachPausesTheClientTwiceAsLongUpToAMinute) {
    LoginThrottle throttle;
    Clock::time_point now{};
    long retry = 0;
    for (int i = 0; i < LoginThrottle::kFreeFailures; ++i) {
        ASSERT_TRUE(throttle.Begin("a", now, &retry)) << i;
        throttle.Finish("a", false, now);
    }
    for (long pause : {1, 2, 4, 8, 16, 32, 60, 60}) {
        EXPECT_FALSE(throttle.Begin("a", now + seconds(pause) - milliseconds(1), &retry));
        EXPECT_EQ(retry, 1);
        EXPECT_FALSE(throttle.Begin("a", now, &retry));
        EXPECT_EQ(retry, pause);
        EXPECT_TRUE(throttle.Begin("b", now, &retry)) << "another client waits for no one";
        throttle.Finish("b", true, now);
        now += seconds(pause);
        ASSERT_TRUE(throttle.Begin("a", now, &retry)) << pause;
        throttle.Finish("a", false, now);
    }
    // Forgotten a while after its last failure; a good login forgets at once.
    EXPECT_TRUE(throttle.Begin("a", now + LoginThrottle::kForgetAfter + seconds(1), &retry));
    throttle.Finish("a", false, now);
    throttle.Finish("a", false, now);
    ASSERT_TRUE(throttle.Begin("a", now + seconds(60), &retry));
    throttle.Finish("a", true, now + seconds(60));
    EXPECT_EQ(throttle.Clients(), 0u);
}

TEST(GatewayLoginThrottle, GuessesSideBySideGainNothingAndMemoryIsBounded) {
    LoginThrottle throttle;
    Clock::time_point now{};
    long retry = 0;
    int allowed = 0;
    while (allowed < 20 && throttle.Begin("a", now, &retry)) {
        ++allowed;
    }
    EXPECT_EQ(allowed, LoginThrottle::kFreeFailures);
    for (int i = 0; i < allowed; ++i) {
        throttle.Finish("a", false, now);
    }
    now += seconds(1);
    EXPECT_TRUE(throttle.Begin("a", now, &retry));
    EXPECT_FALSE(throttle.Begin("a", now, &retry)) << "one at a time past the free failures";
    for (int i = 0; i < 5000; ++i) {
        throttle.Finish(std::to_string(i), false, now);
    }
    EXPECT_EQ(throttle.Clients(), LoginThrottle::kClientsKept);
}

TEST(GatewayLoginThrottle, AnIpv6ClientIsItsPrefix) {
    auto client = [](const char *text) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &a.sin6_addr);
        return LoginThrottle::ClientOf(reinterpret_cast<sockaddr *>(&a));
    };
    EXPECT_EQ(client("2001:db8:1:2::1"), client("2001:db8:1:2:aaaa::7"));
    EXPECT_NE(client("2001:db8:1:2::1"), client("2001:db8:1:3::1"));
    EXPECT_EQ(client("::ffff:10.0.0.7"), "10.0.0.7");
}

// The processor time this thread has used: what a login costs, whatever
// else the machine runs meanwhile.
double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Unknown names cost what known ones do: the medians of the processor time
// of many tries, taken in turn, are within a factor of two (without the
// dummy hash an unknown name costs some thousand times less).
TEST(GatewayLogin, AnUnknownNameTakesTheTimeOfAKnownOne) {
    std::map<std::string, std::string> users{{"anna", test::kSecretHash}};
    std::string dummy = DummyHash(users);
    EXPECT_EQ(dummy.compare(0, 12, std::string(test::kSecretHash), 0, 12), 0) << dummy;
    EXPECT_NE(dummy, test::kSecretHash);
    std::vector<double> known;
    std::vector<double> unknown;
    for (int i = 0; i < 31; ++i) {
        for (auto *times : {&known, &unknown}) {
            double start = ThreadSeconds();
            EXPECT_FALSE(LoginMatches(users, dummy, times == &known ? "anna" : "bob", "guess"));
            times->push_back(ThreadSeconds() - start);
        }
    }
    EXPECT_TRUE(LoginMatches(users, dummy, "anna", "secret"));
    for (auto *times : {&known, &unknown}) {
        std::nth_element(times->begin(), times->begin() + 15, times->end());
    }
    double ratio = known[15] / unknown[15];
    EXPECT_GT(ratio, 0.5);
    EXPECT_LT(ratio, 2.0);
}

}  // namespace
}  // namespace qor::gateway
