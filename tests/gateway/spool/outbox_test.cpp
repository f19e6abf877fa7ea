// The bounded outbox in RAM.
#include "gateway/spool/outbox.h"

#include <gtest/gtest.h>

#include <string>

namespace qor::gateway {
namespace {

TEST(GatewayOutbox, DropsTheOldestWhenFullAndCountsThem) {
    Outbox box(3);
    int wakes = 0;
    box.SetWake([&wakes] { ++wakes; });
    for (int i = 1; i <= 5; ++i) {
        box.Push({"t", std::to_string(i), ""});
    }
    EXPECT_EQ(wakes, 1);  // only the first found the queue empty
    EXPECT_EQ(box.Size(), 3u);
    EXPECT_EQ(box.Dropped(), 2u);
    auto first = box.Take();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->message.payload, "3");
    // Taken and not delivered: back to the front, in order.
    box.Return({*first});
    EXPECT_EQ(box.Take()->message.payload, "3");
    // Full again while one was out: the bound holds when it comes back,
    // and the oldest (the one returned) goes.
    box.Push({"t", "6", ""});
    first = box.Take();
    box.Push({"t", "7", ""});
    box.Return({*first});
    EXPECT_EQ(box.Size(), 3u);
    EXPECT_EQ(box.Dropped(), 3u);
    EXPECT_EQ(box.Take()->message.payload, "5");
    box.SetCapacity(1);
    EXPECT_EQ(box.Dropped(), 4u);
    EXPECT_EQ(box.Take()->message.payload, "7");
    EXPECT_FALSE(box.Take());
}

}  // namespace
}  // namespace qor::gateway
