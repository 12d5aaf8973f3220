/* Timetables: the grammar, windows in fixed zones (UTC and Berlin with its
 * two clock-change nights), and the planner over the real handler on a fake
 * wall clock whose timer is the test's to fire. */
#include <syslog.h>

#include "handler_fixture.h"
#include "tour_schedule.h"

namespace {

using namespace handler_test;
auto *const bus_env = ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);
using W = TourScheduleWindow;

/* "2026-03-02T21:00Z", seconds optional. */
int64_t at(const char *iso) {
  std::string text(iso);
  if (text.size() == 17)
    text.insert(16, ":00");
  g_autoptr(GDateTime) t = g_date_time_new_from_iso8601(text.c_str(), nullptr);
  return t != nullptr ? g_date_time_to_unix(t) : -1;
}

TEST(ScheduleText, ReadsWindowsAndPointsAtTheFault) {
  const std::pair<const char *, TourScheduleWindows> good[] = {
      {" \t", {}},
      {"* 00:00-24:00", {{0x7f, 0, 1440}}},
      {"Mon..Fri 22:00-06:00; Sat,Sun 00:00-24:00", {{0x1f, 1320, 360}, {0x60, 0, 1440}}},
      {"Mon , Wed,Fri..Sun\t08:00-09:30 ;Tue 10:00-10:00", {{0x75, 480, 570}, {0x02, 600, 600}}},
      {"Sat..Mon 10:00-00:00", {{0x61, 600, 1440}}},
  };
  for (const auto &[text, windows] : good) {
    TourScheduleWindows got;
    TourScheduleError error;
    EXPECT_TRUE(tour_schedule_parse(text, &got, &error)) << text << ": " << error.what;
    EXPECT_EQ(got, windows) << text;
  }
  const std::string too_long(4097, ' ');
  const std::pair<std::string, size_t> bad[] = {
      {"mon 10:00-11:00", 1},
      {"Mon10:00-11:00", 4},
      {"Mon 10:00", 10},
      {"Mon 24:00-01:00", 5},
      {"Mon 10:00-24:01", 11},
      {"Mon 10:60-11:00", 5},
      {"Mon 1:00-2:00", 5},
      {"Mon 10:00-11:00;", 17},
      {"Mon 10:00-11:00 Tue", 17},
      {"Mon..Fry 10:00-11:00", 6},
      {"Mon,,Tue 10:00-11:00", 5},
      {"Mo\xc3\xa9 10:00-11:00", 1},
      {too_long, 4097},
  };
  for (const auto &[text, column] : bad) {
    TourScheduleWindows got;
    TourScheduleError error;
    EXPECT_FALSE(tour_schedule_parse(text, &got, &error)) << text;
    EXPECT_EQ(error.column, column) << text << ": " << (error.what ? error.what : "");
    EXPECT_TRUE(got.empty());
  }
}

TEST(ScheduleText, OverlapIsASharedMinuteOfTheWeek) {
  const std::tuple<const char *, const char *, bool> cases[] = {
      {"Mon 10:00-12:00", "Mon 11:00-13:00", true},
      {"Mon 10:00-12:00", "Mon 12:00-13:00", false},
      {"Sun 22:00-02:00", "Mon 01:00-03:00", true},
      {"Mon..Fri 22:00-06:00", "Sat,Sun 06:00-22:00", false},
      {"* 00:00-24:00", "Wed 03:00-03:01", true},
  };
  for (const auto &[a, b, overlap] : cases) {
    TourScheduleWindows wa, wb;
    TourScheduleError error;
    ASSERT_TRUE(tour_schedule_parse(a, &wa, &error) && tour_schedule_parse(b, &wb, &error));
    EXPECT_EQ(tour_schedule_overlap(wa, wb), overlap) << a << " / " << b;
    EXPECT_EQ(tour_schedule_overlap(wb, wa), overlap) << b << " / " << a;
  }
}

/* Berlin 2026: 02:00 CET becomes 03:00 CEST on 29 March, 03:00 CEST
 * becomes 02:00 CET on 25 October. */
TEST(ScheduleTime, WindowsInAZone) {
  struct {
    const char *zone, *text, *now, *since, *next; /* "" for none */
  } const cases[] = {
      {"UTC", "Fri 22:00-06:00", "2026-03-07T03:00Z", "2026-03-06T22:00Z", "2026-03-07T06:00Z"},
      {"UTC", "Fri 22:00-06:00", "2026-03-07T06:00Z", "", "2026-03-13T22:00Z"},
      {"UTC", "* 00:00-24:00", "2026-03-07T06:00Z", "2026-03-05T00:00Z", ""},
      {"UTC", "Mon 00:00-24:00", "2026-03-02T12:00Z", "2026-03-02T00:00Z", "2026-03-03T00:00Z"},
      {"Europe/Berlin", "Mon..Fri 22:00-06:00", "2026-03-02T20:59Z", "", "2026-03-02T21:00Z"},
      {"Europe/Berlin", "Sun 02:30-04:00", "2026-03-28T23:00Z", "", "2026-03-29T01:00Z"},
      {"Europe/Berlin", "Sun 02:30-04:00", "2026-03-29T01:00Z", "2026-03-29T01:00Z",
       "2026-03-29T02:00Z"},
      {"Europe/Berlin", "Sun 02:30-05:00", "2026-10-25T00:00Z", "", "2026-10-25T00:30Z"},
      {"Europe/Berlin", "Sat 22:00-02:30", "2026-10-24T23:00Z", "2026-10-24T20:00Z",
       "2026-10-25T00:30Z"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.zone << " " << c.text << " at " << c.now);
    g_autoptr(GTimeZone) zone = g_time_zone_new_identifier(c.zone);
    ASSERT_NE(zone, nullptr);
    TourScheduleWindows windows;
    TourScheduleError error;
    ASSERT_TRUE(tour_schedule_parse(c.text, &windows, &error));
    const TourSchedulePlace place = tour_schedule_place(windows, zone, at(c.now));
    EXPECT_EQ(place.inside, *c.since != '\0');
    EXPECT_EQ(place.inside ? place.since : 0, *c.since ? at(c.since) : 0);
    EXPECT_EQ(place.next_edge, *c.next ? at(c.next) : 0);
  }
}

struct FakeClock {
  int64_t now = 0;    /* seconds */
  int64_t armed = -2; /* µs, -1 cancelled */
};

class ScheduleTest : public HandlerTest {
protected:
  void TearDown() override {
    g_clear_pointer(&schedule_, tour_schedule_free);
    HandlerTest::TearDown();
  }
  void start(const char *now) {
    clock_.now = at(now);
    start_handler();
    const TourScheduleClock clock = {
        [](gpointer d) { return static_cast<FakeClock *>(d)->now * G_USEC_PER_SEC; },
        [](gpointer) { return g_time_zone_new_identifier("Europe/Berlin"); },
        [](gpointer d, int64_t at_us) { static_cast<FakeClock *>(d)->armed = at_us; }, &clock_};
    schedule_ = tour_schedule_new(handler_, &clock, 2025);
    settle();
  }
  /* The clock set (or stepped) to `now`. */
  void jump(const char *now) {
    clock_.now = at(now);
    tour_schedule_wake(schedule_);
    settle();
  }
  /* The clock reaches the timer. */
  void fire() {
    ASSERT_GT(clock_.armed, 0);
    clock_.now = clock_.armed / G_USEC_PER_SEC;
    tour_schedule_wake(schedule_);
    settle();
  }
  void expect_next(int cam, const char *when, const std::string &action) {
    EXPECT_EQ(tour_schedule_next(schedule_, cam),
              (TourScheduleNext{uint64_t(*when ? at(when) * G_USEC_PER_SEC : 0), action}));
  }
  FakeClock clock_;
  TourSchedule *schedule_ = nullptr;
};

/* Berlin: 2026-03-02 is a Monday; 22:00 CET is 21:00Z. Edges act, what the
 * operator does between two edges stands. */
TEST_F(ScheduleTest, EdgesPlayAndStopAndOperatorsActBetweenThem) {
  seed_tour(1, "1");
  put(tour(1, "Schedule"), "Mon..Fri 22:00-06:00");
  start("2026-03-02T20:00Z");
  EXPECT_EQ(held(1), -2);
  expect_next(1, "2026-03-02T21:00Z", "play G1");
  EXPECT_EQ(clock_.armed, at("2026-03-02T21:00Z") * G_USEC_PER_SEC);
  fire();
  EXPECT_EQ(held(1), 1);
  expect_next(1, "2026-03-03T05:00Z", "stop G1");
  request(tour_handler_stop_preset_tour, 1);
  jump("2026-03-02T23:00Z");
  EXPECT_EQ(held(1), -1);
  fire();
  expect_next(1, "2026-03-03T21:00Z", "play G1");
  play(1);
  jump("2026-03-03T12:00Z");
  fire();
  EXPECT_EQ(held(1), 1);
  fire();
  EXPECT_EQ(held(1), -1);
}

/* A step of the clock across an edge acts as that edge, either way. */
TEST_F(ScheduleTest, ClockStepsAcrossAnEdge) {
  seed_tour(1, "3");
  put(tour(1, "Schedule"), "* 22:00-23:00");
  start("2026-03-02T20:00Z");
  jump("2026-03-02T21:30Z");
  EXPECT_EQ(held(3), 1);
  jump("2026-03-02T20:30Z");
  EXPECT_EQ(held(3), -1);
  fire();
  EXPECT_EQ(held(3), 1);
}

/* Until the clock is set nothing acts, then the timetable is applied as at
 * start-up: a recovered tour outside its window stops. */
TEST_F(ScheduleTest, AClockIn1970WaitsUntilItIsSet) {
  seed_tour(1, "1", "yes");
  seed_tour(2, "2");
  put(tour(1, "Schedule"), "* 08:00-09:00");
  put(tour(2, "Schedule"), "* 20:00-23:00");
  start("1970-01-01T00:00:10Z");
  EXPECT_EQ(held(1), 1);
  EXPECT_EQ(held(2), -2);
  expect_next(2, "", "waiting for clock");
  EXPECT_EQ(clock_.armed, at("2025-01-01T00:00Z") * G_USEC_PER_SEC);
  jump("2026-03-02T20:00Z");
  EXPECT_EQ(held(1), -1);
  EXPECT_EQ(held(2), 2);
  EXPECT_EQ(running_of(1), "no");
  expect_next(2, "2026-03-02T22:00Z", "stop G2");
}

/* Two timetables of one camera: the window that started last has it. */
TEST_F(ScheduleTest, OverlappingToursOfOneCamera) {
  put_tours({{1, "1"}, {2, "1"}});
  put(tour(1, "Schedule"), "* 20:00-23:00");
  put(tour(2, "Schedule"), "* 21:00-22:00");
  start("2026-03-02T20:30Z");
  EXPECT_EQ(held(1), 2);
  EXPECT_EQ(syslog_capture::count(
                LOG_INFO,
                "Schedule: tours 2 and 1 of camera 1 overlap; 2 started last and has the camera"),
            1);
  fire();
  EXPECT_EQ(held(1), -1);
  expect_next(1, "2026-03-02T22:00Z", "stop G1");
}

/* No timetable: no timer. A bad one is logged once and ignored; a fixed
 * one acts only as far as the present moved into a window. */
TEST_F(ScheduleTest, ReloadReadsEditsAndRefusesBadTexts) {
  seed_tour(4, "2");
  start("2026-03-02T20:00Z");
  EXPECT_EQ(clock_.armed, -1);
  expect_next(2, "", "");
  put(tour(4, "Schedule"), "Mon 21:00-25:00");
  tour_schedule_reload(schedule_);
  tour_schedule_reload(schedule_);
  EXPECT_EQ(syslog_capture::count(
                LOG_WARNING,
                "Schedule of tour 4 unreadable at column 11: time out of range 00:00..24:00"),
            1);
  EXPECT_EQ(clock_.armed, -1);
  put(tour(4, "Schedule"), "Mon 21:00-23:00");
  tour_schedule_reload(schedule_);
  settle();
  EXPECT_EQ(held(2), 4);
  request(tour_handler_stop_preset_tour, 4);
  tour_schedule_reload(schedule_);
  settle();
  EXPECT_EQ(held(2), -1);
}

} // namespace
