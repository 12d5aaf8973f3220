// Time arithmetic and random numbers of libptzcommon.
#include <climits>
#include <set>

#include <gtest/gtest.h>

#include "ptz_common.h"

namespace {

TEST(TimeArithmetic, AddSubAndCompare) {
  const TimeValue cases[][4] = {
      /* a, b, a + b, a - b */
      {{10, 600000}, {2, 700000}, {13, 300000}, {7, 900000}},
      {{3, 0}, {5, 250000}, {8, 250000}, {-3, 750000}},
      {{1, 2500000}, {0, 0}, {3, 500000}, {3, 500000}},
      {{INT_MAX, 0}, {1, 0}, {INT_MAX, 999999}, {INT_MAX - 1, 0}}, /* held at the ends */
      {{INT_MIN, 0}, {-1, 0}, {INT_MIN, 0}, {INT_MIN + 1, 0}},
  };
  for (const auto &[a, b, sum, difference] : cases) {
    SCOPED_TRACE(testing::Message() << a.sec << "." << a.usec << ", " << b.sec << "." << b.usec);
    TimeValue x = a, y = a;
    time_add(&x, &b);
    time_sub(&y, &b);
    EXPECT_EQ(std::pair(x.sec, x.usec), std::pair(sum.sec, sum.usec));
    EXPECT_EQ(std::pair(y.sec, y.usec), std::pair(difference.sec, difference.usec));
    EXPECT_TRUE(time_cmp(&a, &b) * time_cmp(&b, &a) < 0 && time_cmp(&a, &a) == 0);
  }
}

// Every value of a small range must come up, both bounds included; with
// uniform draws 2000 tries leave a miss probability far below 1e-50.
TEST(Random, ReachesEveryValueOfSmallRangesAndStaysInside) {
  initialize_random();
  for (auto [low, high] :
       {std::pair{-3, 3}, {42, 42}, {INT_MAX - 3, INT_MAX}, {INT_MIN, INT_MIN + 2}}) {
    std::set<int> seen;
    for (int i = 0, v = 0; i < 2000; ++i, seen.insert(v))
      ASSERT_TRUE(get_random(low, high, &v) == 0 && v >= low && v <= high) << v;
    EXPECT_EQ(seen.size(), size_t(int64_t{high} - low + 1)) << low << ".." << high;
  }
  int v = 0;
  EXPECT_EQ(get_random(2, 1, &v), -1);
}

} // namespace
