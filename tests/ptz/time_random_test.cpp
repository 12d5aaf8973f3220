// Time arithmetic and random numbers of libptzcommon, plus what the event
// calls do when no bus can be reached. No bus is started here: the system
// bus address points at a socket that does not exist.
#include <climits>
#include <cstdlib>
#include <set>

#include <gtest/gtest.h>

#include "ptz_common.h"
#include "tour_events.h"

namespace {

class NoBusEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/patrold-test",
           1);
  }
};
auto *const no_bus_env =
    ::testing::AddGlobalTestEnvironment(new NoBusEnvironment);

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

TEST(TimeArithmetic, NullArgumentsAreHarmless) {
  TimeValue t{4, 5};
  time_add(&t, nullptr);
  time_sub(&t, nullptr);
  time_add(nullptr, &t);
  time_sub(nullptr, &t);
  EXPECT_TRUE(t == (TimeValue{4, 5}));
  EXPECT_EQ(time_cmp(nullptr, nullptr), 0);
  EXPECT_LT(time_cmp(nullptr, &t), 0);
  EXPECT_GT(time_cmp(&t, nullptr), 0);
  EXPECT_EQ(get_time(nullptr), -1);
}

TEST(Clock, IsNormalisedAndNeverGoesBack) {
  TimeValue previous{};
  ASSERT_EQ(get_time(&previous), 0);
  for (int i = 0; i < 1000; ++i) {
    TimeValue now{};
    ASSERT_EQ(get_time(&now), 0);
    ASSERT_GE(now.usec, 0);
    ASSERT_LT(now.usec, 1000000);
    ASSERT_GE(time_cmp(&now, &previous), 0);
    previous = now;
  }
}

TEST(Random, RejectsBadArguments) {
  initialize_random();
  int v = 77;
  EXPECT_EQ(get_random(5, 4, &v), -1);
  EXPECT_EQ(v, 77);
  EXPECT_EQ(get_random(0, 3, nullptr), -1);
}

TEST(Random, SingleValueRange) {
  for (int bound : {INT_MIN, -1, 0, 42, INT_MAX}) {
    int v = bound == 0 ? 1 : 0;
    ASSERT_EQ(get_random(bound, bound, &v), 0);
    EXPECT_EQ(v, bound);
  }
}

// Every value of a small range must come up, both bounds included; with
// uniform draws 2000 tries leave a miss probability far below 1e-50.
TEST(Random, ReachesEveryValueOfSmallRangesAndStaysInside) {
  struct Range {
    int low, high;
  };
  constexpr Range ranges[] = {
      {0, 1}, {0, 4}, {-3, 3}, {INT_MAX - 3, INT_MAX}, {INT_MIN, INT_MIN + 2}};
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

void ignore_event(void *, int) {}
int ignore_control(void *, int, const char *) { return 0; }

TEST(WithoutBus, EventCallsFailAndCleanupIsHarmless) {
  EXPECT_EQ(initialize_subscriber_queue(), -1);
  EXPECT_EQ(tour_moving_events_init(), -1);
  EXPECT_EQ(control_queue_events_init(ignore_control, nullptr), -1);
  EXPECT_EQ(preset_events_init(ignore_event, nullptr, 1), -1);
  EXPECT_EQ(tour_moving_events_enable(ignore_event, nullptr, 1), -1);
  control_queue_events_cleanup();
  preset_events_cleanup(1);
  tour_moving_events_disable(1);
  preset_events_cleanup(-1);
  tour_moving_events_disable(99);
}

} // namespace
