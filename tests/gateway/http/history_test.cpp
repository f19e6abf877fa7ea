// The polls' history: minutes and raw readings in RAM, the minutes in an
// SQLite file that a restart reads back (a minute a restart cut in two is
// one minute), the day's bound, and a link's sparklines.
#include "gateway/http/history.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

namespace qor::gateway {
namespace {

using namespace std::chrono_literals;
using SystemTime = std::chrono::system_clock::time_point;

constexpr std::int64_t kMinute = 60000;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The start of a minute five hours ago, in Unix milliseconds: within the
// day the file keeps.
const std::int64_t kAt = (NowMs() / kMinute - 300) * kMinute;

Config Plant(const char *poll = "temp") {
    Config c;
    LinkSpec link;
    link.name = "bus";
    ModuleSpec m;
    m.name = "boiler";
    PollSpec p;
    p.name = poll;
    m.polls.push_back(p);
    link.modules.push_back(m);
    c.links.push_back(link);
    return c;
}

Reading At(std::int64_t ms, double value, int status = 0) {
    Reading r;
    r.when = SystemTime(std::chrono::milliseconds(ms));
    r.value = value;
    r.status = status;
    return r;
}

struct TempFile {
    TempFile() {
        char name[] = "/tmp/qor-history-test.XXXXXX";
        int fd = mkstemp(name);
        close(fd);
        std::remove(name);  // SQLite makes it
        path = name;
    }
    ~TempFile() {
        for (const char *suffix : {"", "-wal", "-shm"}) {
            std::remove((path + suffix).c_str());
        }
    }
    std::string path;
};

void ExpectMinute(const MinuteStats &m, std::int64_t minute, double min, double max, double mean,
                  std::uint32_t count) {
    EXPECT_EQ(m.minute, minute);
    EXPECT_FLOAT_EQ(m.min, min);
    EXPECT_FLOAT_EQ(m.max, max);
    EXPECT_FLOAT_EQ(m.mean, mean);
    EXPECT_EQ(m.count, count);
}

// Good readings only: each minute's minimum, maximum, mean and count, the
// open one last; the raw readings from the time asked.
TEST(GatewayHistory, KeepsEachMinutesRangeAndMeanAndTheRawReadings) {
    HistoryStore h;
    std::string why;
    ASSERT_TRUE(h.Open("", &why));
    h.Layout(Plant());
    h.Add({0, 0, 0}, At(kAt + 1000, 70));
    h.Add({0, 0, 0}, At(kAt + 2000, 74));
    h.Add({0, 0, 0}, At(kAt + 3000, 0, 3));  // failed: not kept
    h.Add({0, 0, 0}, At(kAt + 4000, 72));
    h.Add({0, 0, 0}, At(kAt + kMinute + 1000, 80));
    h.Add({0, 0, 1}, At(kAt, 1));  // no such poll
    std::optional<PollHistory> got = h.Read("bus/boiler/temp", kAt + 1500);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->minutes.size(), 2u);
    ExpectMinute(got->minutes[0], kAt / kMinute, 70, 74, 72, 3);
    ExpectMinute(got->minutes[1], kAt / kMinute + 1, 80, 80, 80, 1);
    ASSERT_EQ(got->raw.size(), 3u);
    EXPECT_EQ(got->raw.front().value, 74);
    EXPECT_FALSE(h.Read("bus/boiler/other", 0));
    EXPECT_EQ(h.Use().polls, 1u);
    EXPECT_FALSE(h.Use().disk);
}

// The file keeps the closed minutes and, at a stop, the open one; after a
// restart in the same minute the two records make one minute, and once
// written it is not counted twice.
TEST(GatewayHistory, AMinuteARestartCutInTwoIsOneMinuteAfterIt) {
    TempFile file;
    std::string why;
    {
        HistoryStore h;
        ASSERT_TRUE(h.Open(file.path, &why)) << why;
        EXPECT_TRUE(h.Use().disk);
        h.Layout(Plant());
        h.Add({0, 0, 0}, At(kAt + 1000, 70));
        h.Add({0, 0, 0}, At(kAt + kMinute + 1000, 80));
        h.Add({0, 0, 0}, At(kAt + kMinute + 2000, 82));
        h.Flush(kAt + kMinute + 5000);  // the first minute closes
        EXPECT_EQ(h.Use().rows_written, 1u);
        h.Stop();  // and the open one goes too
    }
    HistoryStore h;
    ASSERT_TRUE(h.Open(file.path, &why)) << why;
    h.Layout(Plant());
    h.Add({0, 0, 0}, At(kAt + kMinute + 30000, 90));
    for (int flushed = 0; flushed < 2; ++flushed) {
        std::optional<PollHistory> got = h.Read("bus/boiler/temp", kAt);
        ASSERT_TRUE(got);
        ASSERT_EQ(got->minutes.size(), 2u) << flushed;
        ExpectMinute(got->minutes[0], kAt / kMinute, 70, 70, 70, 1);
        ExpectMinute(got->minutes[1], kAt / kMinute + 1, 80, 90, 84, 3);
        EXPECT_EQ(got->raw.size(), 1u) << "raw readings stay in RAM";
        h.Flush(kAt + 2 * kMinute + 1000);
    }
}

// Minutes older than a day leave the file.
TEST(GatewayHistory, TheFileKeepsADay) {
    TempFile file;
    std::string why;
    {
        HistoryStore h;
        ASSERT_TRUE(h.Open(file.path, &why)) << why;
        h.Layout(Plant());
        h.Add({0, 0, 0}, At(kAt, 1));
        h.Add({0, 0, 0}, At(kAt + 100 * kMinute, 2));
        h.Flush(kAt + 101 * kMinute);
        h.Flush(kAt + (kMinutesKept + 50) * kMinute);
        h.Stop();
    }
    HistoryStore h;
    ASSERT_TRUE(h.Open(file.path, &why)) << why;
    h.Layout(Plant());
    std::optional<PollHistory> got = h.Read("bus/boiler/temp", 0);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->minutes.size(), 1u);
    EXPECT_EQ(got->minutes[0].minute, kAt / kMinute + 100);
}

// A poll that keeps its name over a reload keeps its history; the means of
// a link's polls for its sparklines, NaN where nothing was read.
TEST(GatewayHistory, APollKeepsItsHistoryOverAReloadAndALinkTellsItsMeans) {
    HistoryStore h;
    std::string why;
    ASSERT_TRUE(h.Open("", &why));
    h.Layout(Plant());
    std::int64_t now = NowMs();
    h.Add({0, 0, 0}, At(now - 2 * kMinute, 5));
    h.Add({0, 0, 0}, At(now, 7));
    Config two = Plant();
    PollSpec other;
    other.name = "other";
    two.links[0].modules[0].polls.insert(two.links[0].modules[0].polls.begin(), other);
    h.Layout(two);
    h.Add({0, 0, 1}, At(now, 9));  // temp, in its new place
    std::int64_t first = 0;
    std::vector<std::vector<double>> means = h.Means(0, 3, now, &first);
    EXPECT_EQ(first, now / kMinute - 2);
    ASSERT_EQ(means.size(), 2u);
    EXPECT_TRUE(std::isnan(means[0][2]));
    EXPECT_EQ(means[1][0], 5);
    EXPECT_TRUE(std::isnan(means[1][1]));
    EXPECT_EQ(means[1][2], 8);
    h.Layout(Plant("renamed"));
    EXPECT_FALSE(h.Read("bus/boiler/temp", 0));
    EXPECT_EQ(h.Read("bus/boiler/renamed", 0)->minutes.size(), 0u);
}

}  // namespace
}  // namespace qor::gateway
