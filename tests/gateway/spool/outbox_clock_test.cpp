// The outbox on a real spool file: when its batches are committed (every
// spool_commit_messages, or every spool_commit_ms), and what a step of the
// wall clock does to the spool's age bound: nothing is dropped for it,
// while what an earlier run left longer ago than the bound is, by its name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "gateway/spool/outbox.h"

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr std::int64_t kDayMs = 86400 * 1000;
// 2027-01-15, a wall clock the tests set and step.
constexpr std::int64_t kStartMs = 1800000000000;

class GatewaySpoolOutbox : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/qor-outbox-test.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir_ = folder;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    // An outbox on the spool, its wall clock the test's: it runs as time
    // does, from kStartMs plus whatever the test steps it by.
    std::unique_ptr<Outbox> Open(std::chrono::milliseconds interval, std::size_t messages) {
        auto box = std::make_unique<Outbox>(1000, [this] {
            auto gone =
                std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - started_);
            return kStartMs + step_ms_.load() + gone.count();
        });
        std::string why;
        std::string aside;
        auto spool = Spool::Open(dir_ + "/gw.db", &why, &aside);
        EXPECT_TRUE(spool) << why;
        box->AttachSpool(std::move(spool), Settings(interval, messages));
        return box;
    }
    SpoolSettings Settings(std::chrono::milliseconds interval, std::size_t messages) const {
        SpoolSettings s;
        s.path = dir_ + "/gw.db";
        s.commit_interval = interval;
        s.commit_messages = messages;
        s.max_age = std::chrono::hours(168);
        return s;
    }
    static bool WaitFor(const std::function<bool()> &condition) {
        auto until = Steady::now() + 20s;
        while (!condition() && Steady::now() < until) {
            std::this_thread::sleep_for(2ms);
        }
        return condition();
    }
    static void Push(Outbox &box, int count) {
        for (int i = 0; i < count; ++i) {
            box.Push({"plant/a/rd", std::to_string(i), ""});
        }
    }

    std::string dir_;
    Steady::time_point started_ = Steady::now();
    std::atomic<std::int64_t> step_ms_{0};
};

TEST_F(GatewaySpoolOutbox, CommitsABatchAtItsMessageCountNotOneLater) {
    // The interval is far away: only the count commits.
    auto box = Open(60s, 5);
    Push(*box, 4);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(box->Status().committed, 0u);
    EXPECT_FALSE(box->Take());  // nothing is handed out before it is on disk
    Push(*box, 1);
    EXPECT_TRUE(WaitFor([&] { return box->Status().committed == 5; }));
    // A reload's count applies to the next batch.
    box->SetSpoolSettings(Settings(60s, 2));
    Push(*box, 2);
    EXPECT_TRUE(WaitFor([&] { return box->Status().committed == 7; }));
    for (int i = 0; i < 7; ++i) {
        EXPECT_TRUE(box->Take()) << i;
    }
}

TEST_F(GatewaySpoolOutbox, CommitsWhatWaitsAtItsInterval) {
    auto box = Open(20ms, 1000);
    Push(*box, 3);
    EXPECT_TRUE(WaitFor([&] { return box->Status().committed == 3; }));
}

TEST_F(GatewaySpoolOutbox, AStepOfTheWallClockDropsNothingAndMovesTheTimesWithIt) {
    struct Case {
        const char *what;
        std::int64_t step_ms;
    };
    const Case cases[] = {{"eight days on", 8 * kDayMs}, {"eight days back", -8 * kDayMs}};
    for (const Case &c : cases) {
        auto box = Open(5ms, 1000);
        Push(*box, 5);
        ASSERT_TRUE(WaitFor([&] { return box->Status().committed == 5; })) << c.what;
        std::int64_t oldest = box->Status().oldest_ms;
        testing::internal::CaptureStderr();
        step_ms_ += c.step_ms;
        // To the millisecond, but for the steady clock's rounding.
        bool moved =
            WaitFor([&] { return std::llabs(box->Status().oldest_ms - oldest - c.step_ms) <= 2; });
        Push(*box, 1);
        bool committed = WaitFor([&] { return box->Status().committed == 6; });
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(moved) << c.what << ": " << box->Status().oldest_ms - oldest;
        EXPECT_TRUE(committed) << c.what;
        EXPECT_EQ(box->Dropped(), 0u) << c.what;
        EXPECT_NE(log.find(std::string("the wall clock stepped by ") + (c.step_ms > 0 ? "+" : "") +
                           std::to_string(c.step_ms / 1000) + " s (8 days)"),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.find("dropped"), std::string::npos) << log;
        box->Close();
        std::system(("rm -f '" + dir_ + "/gw.db'*").c_str());
    }
}

TEST_F(GatewaySpoolOutbox, WhatAnEarlierRunLeftBeyondTheAgeBoundIsDroppedAsSuch) {
    {
        auto box = Open(5ms, 1000);
        Push(*box, 3);
        ASSERT_TRUE(WaitFor([&] { return box->Status().committed == 3; }));
    }
    // The next start, eight days on.
    step_ms_ += 8 * kDayMs;
    auto box = Open(5ms, 1000);
    testing::internal::CaptureStderr();
    Push(*box, 1);
    bool dropped = WaitFor([&] { return box->Dropped() == 3; });
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(dropped) << box->Dropped();
    EXPECT_EQ(box->DroppedForRoom(), 0u);
    EXPECT_NE(log.find("gw.db: dropped 3 messages older than spool_max_age_h (168 h)"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("stepped"), std::string::npos) << log;
    auto left = box->Take();
    ASSERT_TRUE(left);
    EXPECT_EQ(left->message.payload, "0");  // the new one
    EXPECT_FALSE(box->Take());
}

}  // namespace
}  // namespace qor::gateway
