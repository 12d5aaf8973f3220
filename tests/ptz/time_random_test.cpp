// Time arithmetic and random numbers of libptzcommon.
#include <climits>
#include <set>

#include <gtest/gtest.h>

#include "ptz_common.h"

namespace {

TEST(TimeArithmetic, AddSubAndCompare) {
  struct {
    const char *what;
    TimeValue a, b, sum, difference; // difference: a - b
  } const cases[] = {
      {"carry and borrow", {10, 600000}, {2, 700000}, {13, 300000}, {7, 900000}},
      {"exact second", {1, 500000}, {0, 500000}, {2, 0}, {1, 0}},
      {"negative result", {3, 0}, {5, 250000}, {8, 250000}, {-3, 750000}},
      {"unnormalised input", {1, 2500000}, {0, 0}, {3, 500000}, {3, 500000}},
      {"past the last second", {INT_MAX, 0}, {1, 0}, {INT_MAX, 999999}, {INT_MAX - 1, 0}},
      {"past the first second", {INT_MIN, 0}, {-1, 0}, {INT_MIN, 0}, {INT_MIN + 1, 0}},
  };
  auto sign = [](int r) { return (r > 0) - (r < 0); };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TimeValue sum = c.a, difference = c.a;
    time_add(&sum, &c.b);
    time_sub(&difference, &c.b);
    EXPECT_EQ(sign(time_cmp(&sum, &c.sum)), 0) << sum.sec << "." << sum.usec;
    EXPECT_EQ(sign(time_cmp(&difference, &c.difference)), 0)
        << difference.sec << "." << difference.usec;
    EXPECT_EQ(sign(time_cmp(&c.a, &c.b)) * sign(time_cmp(&c.b, &c.a)), -1);
  }
  const TimeValue x{4, 999999}, y{5, 0}, z{1, 1000000}, w{2, 0};
  EXPECT_LT(time_cmp(&x, &y), 0);
  EXPECT_EQ(time_cmp(&z, &w), 0);
}

// Every value of a small range must come up, both bounds included; with
// uniform draws 2000 tries leave a miss probability far below 1e-50.
TEST(Random, ReachesEveryValueOfSmallRangesAndStaysInside) {
  const std::pair<int, int> ranges[] = {{0, 1}, {-3, 3}, {42, 42}, {INT_MAX - 3, INT_MAX},
                                        {INT_MIN, INT_MIN + 2}};
  initialize_random();
  for (const auto &[low, high] : ranges) {
    SCOPED_TRACE(testing::Message() << low << ".." << high);
    std::set<int> seen;
    for (int i = 0; i < 2000; ++i) {
      int v = 0;
      ASSERT_EQ(get_random(low, high, &v), 0);
      ASSERT_TRUE(v >= low && v <= high) << v;
      seen.insert(v);
    }
    EXPECT_EQ(seen.size(), std::size_t(int64_t{high} - low + 1));
  }
  int v = 0;
  EXPECT_EQ(get_random(2, 1, &v), -1);
}

} // namespace
