// The outbox on a real spool file: what survives a restart, the boot number
// and the streams' seqs, the bound in bytes with its drops counted, and a
// file that is not a spool.
#include "gateway/spool/spool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "gateway/spool/outbox.h"

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;

class SpoolFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/qor-spool-test.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir_ = folder;
        path_ = dir_ + "/gw.db";
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::unique_ptr<Spool> Open(std::string *aside = nullptr) {
        std::string why;
        std::string moved;
        auto spool = Spool::Open(path_, &why, &moved);
        if (aside != nullptr) {
            *aside = moved;
        }
        EXPECT_TRUE(spool) << why;
        return spool;
    }

    SpoolSettings Settings(std::uint64_t max_bytes = 1 << 20) const {
        SpoolSettings s;
        s.path = path_;
        s.commit_interval = 5ms;
        s.commit_messages = 1000;
        s.max_bytes = max_bytes;
        return s;
    }

    // Everything the outbox hands out until it has nothing more for a while.
    static std::vector<Queued> TakeAll(Outbox &box) {
        std::vector<Queued> taken;
        auto quiet_until = std::chrono::steady_clock::now() + 200ms;
        while (std::chrono::steady_clock::now() < quiet_until) {
            if (auto q = box.Take()) {
                taken.push_back(std::move(*q));
                quiet_until = std::chrono::steady_clock::now() + 200ms;
            } else {
                std::this_thread::sleep_for(2ms);
            }
        }
        return taken;
    }

    std::string dir_;
    std::string path_;
};

TEST_F(SpoolFile, KeepsWhatWasNotAcknowledgedAndTheSeqsAcrossRestarts) {
    std::uint64_t boot = 0;
    {
        Outbox box(100);
        auto spool = Open();
        boot = spool->Boot();
        box.AttachSpool(std::move(spool), Settings());
        for (int i = 1; i <= 5; ++i) {
            box.Push({"plant/a/rd", std::to_string(i), ""}, static_cast<std::uint64_t>(i));
        }
        auto taken = TakeAll(box);
        ASSERT_EQ(taken.size(), 5u);
        box.Delivered(taken[0].id);
        box.Delivered(taken[1].id);
        box.Return({taken[2], taken[3], taken[4]});
        box.Close();
        EXPECT_EQ(box.Status().delivered, 2u);
    }
    Outbox box(100);
    auto spool = Open();
    EXPECT_EQ(spool->Boot(), boot + 1);
    EXPECT_EQ(spool->Count(), 3u);
    box.AttachSpool(std::move(spool), Settings());
    EXPECT_EQ(box.LastSeq("plant/a/rd"), 5u);
    EXPECT_EQ(box.LastSeq("plant/b/rd"), 0u);
    box.Push({"plant/a/rd", "6", ""}, 6);
    auto taken = TakeAll(box);
    ASSERT_EQ(taken.size(), 4u);
    EXPECT_EQ(taken[0].message.payload, "3");  // the oldest first
    EXPECT_EQ(taken[3].message.payload, "6");
}

TEST_F(SpoolFile, DropsTheOldestBeyondItsBytesAndCountsEveryOne) {
    std::vector<Queued> left;
    {
        Outbox box(100);
        box.AttachSpool(Open(), Settings(2000));
        box.Push({"t", "first", ""});
        auto held = TakeAll(box);  // in flight: never dropped under the broker
        ASSERT_EQ(held.size(), 1u);
        const std::string payload(100, 'x');
        for (int i = 0; i < 50; ++i) {
            box.Push({"t", payload, ""});
        }
        std::this_thread::sleep_for(100ms);
        box.Close();
        while (auto q = box.Take()) {
            left.push_back(std::move(*q));
        }
        EXPECT_EQ(box.Dropped() + left.size(), 50u);
        EXPECT_GT(box.Dropped(), 0u);
    }
    // The outbox held the file until it was destroyed.
    auto spool = Open();
    EXPECT_EQ(spool->Count(), 1u + left.size());  // the one in flight is kept
}

TEST_F(SpoolFile, AFileThatIsNoSpoolIsMovedAsideAndAFreshOneStarted) {
    {
        std::ofstream garbage(path_, std::ios::binary);
        garbage << std::string(8192, 'g');
    }
    std::string aside;
    auto spool = Open(&aside);
    ASSERT_TRUE(spool);
    EXPECT_EQ(spool->Count(), 0u);
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(aside.rfind(path_ + ".corrupt-", 0), 0u) << aside;
    std::ifstream kept(aside, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), std::string(8192, 'g'));
}

TEST_F(SpoolFile, AFolderThatCannotBeWrittenGivesTheReason) {
    // Even root cannot make a file there.
    std::string why;
    std::string aside;
    EXPECT_FALSE(Spool::Open("/proc/qor-gateway-test/gw.db", &why, &aside));
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(aside.empty());
}

}  // namespace
}  // namespace qor::gateway
