// Time arithmetic and random numbers of libptzcommon.
#include <climits>
#include <set>

#include <gtest/gtest.h>

#include "ptz_common.h"

namespace {

bool operator==(const TimeValue &a, const TimeValue &b) {
  return a.sec == b.sec && a.usec == b.usec;
}

struct ArithmeticCase {
  const char *what;
  TimeValue a;
  TimeValue b;
  TimeValue sum;
  TimeValue difference; // a - b
};

constexpr ArithmeticCase kArithmetic[] = {
    {"plain", {10, 200}, {3, 100}, {13, 300}, {7, 100}},
    {"carry and borrow", {10, 600000}, {2, 700000}, {13, 300000}, {7, 900000}},
    {"exact second", {1, 500000}, {0, 500000}, {2, 0}, {1, 0}},
    {"negative result", {3, 0}, {5, 250000}, {8, 250000}, {-3, 750000}},
    {"just below zero", {0, 0}, {0, 1}, {0, 1}, {-1, 999999}},
    {"zero", {7, 0}, {7, 0}, {14, 0}, {0, 0}},
    {"negative operand", {5, 0}, {-2, 500000}, {3, 500000}, {6, 500000}},
    {"unnormalised input", {1, 2500000}, {0, 0}, {3, 500000}, {3, 500000}},
};

TEST(TimeArithmetic, AddAndSubKeepMicrosecondsNormalised) {
  for (const auto &c : kArithmetic) {
    SCOPED_TRACE(c.what);
    TimeValue sum = c.a;
    time_add(&sum, &c.b);
    EXPECT_TRUE(sum == c.sum) << sum.sec << "." << sum.usec;
    TimeValue difference = c.a;
    time_sub(&difference, &c.b);
    EXPECT_TRUE(difference == c.difference)
        << difference.sec << "." << difference.usec;
  }
}

TEST(TimeArithmetic, CompareOrdersBySecondsThenMicroseconds) {
  struct Case {
    TimeValue a, b;
    int sign;
  };
  constexpr Case cases[] = {
      {{5, 0}, {5, 0}, 0},        {{5, 1}, {5, 0}, 1},
      {{4, 999999}, {5, 0}, -1},  {{6, 0}, {5, 999999}, 1},
      {{-1, 500000}, {0, 0}, -1}, {{-2, 0}, {-3, 999999}, 1},
      {{1, 1000000}, {2, 0}, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.a.sec << "." << c.a.usec << " vs "
                                    << c.b.sec << "." << c.b.usec);
    int r = time_cmp(&c.a, &c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign);
  }
}

// Every value of a small range must come up, both bounds included; with
// uniform draws 2000 tries leave a miss probability far below 1e-50.
TEST(Random, ReachesEveryValueOfSmallRangesAndStaysInside) {
  struct Range {
    int low, high;
  };
  constexpr Range ranges[] = {
      {0, 1}, {0, 4}, {-3, 3}, {42, 42}, {INT_MAX - 3, INT_MAX},
      {INT_MIN, INT_MIN + 2}};
  initialize_random();
  for (const auto &r : ranges) {
    SCOPED_TRACE(testing::Message() << r.low << ".." << r.high);
    std::set<int> seen;
    for (int i = 0; i < 2000; ++i) {
      int v = 0;
      ASSERT_EQ(get_random(r.low, r.high, &v), 0);
      ASSERT_GE(v, r.low);
      ASSERT_LE(v, r.high);
      seen.insert(v);
    }
    EXPECT_EQ(seen.size(), std::size_t(int64_t{r.high} - r.low + 1));
  }
}

} // namespace
