// Clocks and random numbers.

#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <vector>

#include "platform/Clock.h"
#include "platform/Random.h"

namespace {

TEST(DispatchClockTest, FakeUptimeIgnoresWallClockChanges) {
  FakeClock clock(2000000000.0, 42.0);
  clock.setNow(1000000000.0);
  EXPECT_DOUBLE_EQ(clock.now(), 1000000000.0);
  EXPECT_DOUBLE_EQ(clock.uptime(), 42.0);
  clock.advance(1.5);
  EXPECT_DOUBLE_EQ(clock.now(), 1000000001.5);
  EXPECT_DOUBLE_EQ(clock.uptime(), 43.5);
  clock.setUptime(100.0);
  EXPECT_DOUBLE_EQ(clock.now(), 1000000001.5);
  EXPECT_DOUBLE_EQ(clock.uptime(), 100.0);
}

TEST(DispatchClockTest, FakeAdvanceUptimeToMovesBothAndNeverBack) {
  FakeClock clock(100.0, 10.0);
  clock.advanceUptimeTo(12.5);
  EXPECT_DOUBLE_EQ(clock.uptime(), 12.5);
  EXPECT_DOUBLE_EQ(clock.now(), 102.5);
  clock.advanceUptimeTo(11.0);
  EXPECT_DOUBLE_EQ(clock.uptime(), 12.5);
  EXPECT_DOUBLE_EQ(clock.now(), 102.5);
}

TEST(DispatchClockTest, SystemUptimeIsMonotonicAndWallTimeIsSince1970) {
  SystemClock clock;
  double previous = clock.uptime();
  EXPECT_GT(previous, 0);
  for (int i = 0; i < 10000; ++i) {
    const double next = clock.uptime();
    ASSERT_GE(next, previous);
    previous = next;
  }
  const double wall = clock.now();
  EXPECT_NEAR(wall, static_cast<double>(std::time(nullptr)), 2.0);
}

TEST(DispatchRandomTest, SeededRandomIsReproducible) {
  SeededRandom first(1234);
  SeededRandom second(1234);
  SeededRandom other(1235);
  std::vector<std::uint64_t> a, b, c;
  for (int i = 0; i < 16; ++i) {
    a.push_back(first.nextUInt64());
    b.push_back(second.nextUInt64());
    c.push_back(other.nextUInt64());
  }
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(first.secureBytes(24), second.secureBytes(24));
  EXPECT_EQ(first.uniform(1000), second.uniform(1000));
  EXPECT_EQ(first.nextDouble(), second.nextDouble());
}

TEST(DispatchRandomTest, UniformStaysInRangeAndCoversIt) {
  SeededRandom random(7);
  EXPECT_EQ(random.uniform(0), 0u);
  EXPECT_EQ(random.uniform(1), 0u);
  std::vector<int> counts(3, 0);
  for (int i = 0; i < 30000; ++i) {
    const std::uint64_t value = random.uniform(3);
    ASSERT_LT(value, 3u);
    ++counts[value];
  }
  for (int count : counts) EXPECT_NEAR(count, 10000, 500);
  const std::uint64_t huge = (std::uint64_t{1} << 63) + 1;
  for (int i = 0; i < 1000; ++i) ASSERT_LT(random.uniform(huge), huge);
  double low = 1, high = 0;
  for (int i = 0; i < 10000; ++i) {
    const double value = random.nextDouble();
    ASSERT_GE(value, 0.0);
    ASSERT_LT(value, 1.0);
    low = std::min(low, value);
    high = std::max(high, value);
  }
  EXPECT_LT(low, 0.01);
  EXPECT_GT(high, 0.99);
}

TEST(DispatchRandomTest, SystemRandomSecureBytesHaveTheLengthAndVary) {
  SystemRandom random;
  EXPECT_TRUE(random.secureBytes(0).empty());
  const auto bytes = random.secureBytes(32);
  ASSERT_EQ(bytes.size(), 32u);
  EXPECT_GT(std::set<std::uint8_t>(bytes.begin(), bytes.end()).size(), 1u);
  EXPECT_NE(random.secureBytes(32), bytes);
  EXPECT_NE(random.nextUInt64(), random.nextUInt64());
}

}  // namespace
