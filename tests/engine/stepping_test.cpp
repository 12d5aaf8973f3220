/* Preparation and stepping: visiting order, the goto, arrival, the dwell,
 * keepalives and position errors, driven by the fake clock. */
#include <syslog.h>

#include "engine_fixture.h"

namespace {

using SteppingTest = EngineTest;
constexpr int kCamera = 3;

TourSpec three_points(int between = 0, const char *random = "no") {
  return {.tour_id = 2,
          .random = random,
          .time_between_sequences = between,
          .points = {{0, 21, 1, 1, 5}, {1, 22, 2, 1, 6}, {2, 23, 3, 1, 7}}};
}

/* Delivers arrival by preset event and lets the next tick accept it. */
void arrive(PresetTour *engine) {
  ASSERT_TRUE(fake_ptz::fire_preset(kCamera, 1));
  preset_tour_iterate_tour(engine);
  ASSERT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);
}

TEST_F(SteppingTest, PreparationListsPointsInVisitingOrder) {
  struct {
    const char *random;
    std::vector<TourPoint> points; /* in the store's enumeration order */
    std::vector<int> expected;     /* preset numbers in visiting order */
  } const cases[] = {
      {"no", {{0, 10, 3}, {1, 11, 1}, {2, 12, 2}}, {11, 12, 10}},
      {"no", {{0, 10, 5}, {1, 11, 5}}, {11, 10}}, /* equal: reversed */
      {"no", {{0, 10, 3}, {1, 11, -5}}, {11, 10}},
      {"yes", {{0, 10, 3}, {1, 11, 1}, {2, 12, 2}}, {12, 11, 10}},
      {"Yes", {{0, 10, 3}, {1, 11, 1}, {2, 12, 2}}, {11, 12, 10}},
  };
  int tour_id = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(tour_id);
    write_tour({.tour_id = ++tour_id, .random = c.random, .points = c.points});
    PresetTour *engine = make_engine();
    ASSERT_EQ(preset_tour_prepare_tour(engine, 2, tour_id), 0);
    std::vector<int> order;
    for (GList *l = engine->presets; l != nullptr; l = l->next)
      order.push_back(static_cast<PresetPoint *>(l->data)->preset_nbr);
    EXPECT_EQ(order, c.expected);
    EXPECT_EQ(engine->random, std::string(c.random) == "yes");
    EXPECT_EQ(engine->state, PRESET_TOUR_STATE_PREPARED);
  }
}

TEST_F(SteppingTest, GotoCarriesClientPresetAndShiftedSpeed) {
  const std::pair<int, int32_t> speeds[] = {{50, 50 * 65536}, {1, 65536},
                                            {0, 0}, {-1, -65536}};
  int tour_id = 0;
  for (const auto &[speed, wire] : speeds) {
    SCOPED_TRACE(speed);
    PresetTour *engine =
        play({.tour_id = ++tour_id, .points = {{0, 17, 1, speed, 5}}}, kCamera);
    step(engine);
    wait_for_calls("GotoPresetNumber", 1);
    const auto calls = coordinator().calls();
    ASSERT_EQ(calls.size(), 2u);
    /* The position is read before the goto is sent, never after. */
    EXPECT_EQ(calls[0].method, "QueryPosition");
    EXPECT_EQ(calls[1].method, "GotoPresetNumber");
    EXPECT_EQ(calls[1].client, "Rezazerar");
    EXPECT_EQ(calls[1].camera_id, kCamera);
    EXPECT_EQ(calls[1].ints, (std::vector<int32_t>{0, 17, wire}));
    EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

TEST_F(SteppingTest, OnlyPresetEventOneMeansArrival) {
  PresetTour *engine = play(three_points(), kCamera);
  step(engine);
  wait_for_calls("GotoPresetNumber", 1);
  ASSERT_TRUE(fake_ptz::fire_preset(kCamera, 2));
  step(engine);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);
  ASSERT_TRUE(fake_ptz::fire_preset(kCamera, 1));
  step(engine);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);
  EXPECT_EQ(engine->wait_until.sec, fake_ptz::now().sec + 5);
  EXPECT_EQ(coordinator().calls("QueryPosition").size(), 1u);
}

TEST_F(SteppingTest, UnchangedPositionAfterReissueMeansArrival) {
  PresetTour *engine = play(three_points(), kCamera);
  coordinator().set_position({4, 5, 6});
  step(engine, 50); /* the first goto, then 49 still ticks: not enough */
  EXPECT_EQ(engine->goto_attempts, 0);
  EXPECT_EQ(coordinator().calls("QueryPosition").size(), 1u);

  step(engine); /* the 50th only re-issues: the first readiness never accepts */
  EXPECT_EQ(engine->goto_attempts, 1);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);
  wait_for_calls("GotoPresetNumber", 2);

  step(engine); /* still ready: tests and finds the same place */
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);
  EXPECT_EQ(engine->goto_attempts, 0);
  EXPECT_EQ(coordinator().calls("QueryPosition").size(), 3u);
}

TEST_F(SteppingTest, ChangedPositionReissuesUntilItHoldsStill) {
  PresetTour *engine = play(three_points(), kCamera);
  /* before goto 1, before goto 2, test: moved, before goto 3, test: still */
  for (int32_t p : {1, 2, 3, 3, 3})
    coordinator().script("QueryPosition", {{p, p, p}});
  step(engine, 52);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);
  EXPECT_EQ(engine->goto_attempts, 2);
  step(engine);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);
  wait_for_calls("GotoPresetNumber", 3);
}

TEST_F(SteppingTest, MovingHeadIsReissuedAfterSixHundredTicks) {
  PresetTour *engine = play(three_points(), kCamera);
  step(engine);
  ASSERT_TRUE(fake_ptz::fire_moving(kCamera, 1));
  step(engine, 599);
  EXPECT_EQ(engine->goto_attempts, 0);
  step(engine);
  EXPECT_EQ(engine->goto_attempts, 1);
  EXPECT_EQ(engine->goto_ticks, 0);
  wait_for_calls("GotoPresetNumber", 2);
}

TEST_F(SteppingTest, OrderedRoundAddsPauseOnLastPointOnly) {
  PresetTour *engine = play(three_points(2), kCamera);
  for (int dwell : {5, 6, 7 + 2 * 60, 5}) {
    SCOPED_TRACE(dwell);
    step(engine);
    arrive(engine);
    EXPECT_EQ(engine->wait_until.sec - fake_ptz::now().sec, dwell);
    /* One second short of the deadline nothing moves; at it, the next goto. */
    fake_ptz::advance(dwell - 1);
    step(engine);
    EXPECT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);
    fake_ptz::advance(1);
  }
  step(engine);
  wait_for_calls("GotoPresetNumber", 5);
  EXPECT_EQ(goto_presets(), (std::vector<int>{21, 22, 23, 21, 22}));
}

TEST_F(SteppingTest, RandomTourNeverRepeatsAndNeverPausesTheRound) {
  PresetTour *engine = play(three_points(9, "yes"), kCamera);
  /* The list is T2, T1, T0; index 0 is the current one after preparation. */
  fake_ptz::script_random({0, 2, 2, 2, 0, 0, 1});
  std::vector<int> indexes;
  for (int visit = 0; visit < 3; ++visit) {
    step(engine);
    indexes.push_back(engine->current_index);
    arrive(engine);
    const int wait = static_cast<PresetPoint *>(
        g_list_nth_data(engine->presets, guint(engine->current_index)))
                         ->wait_time;
    EXPECT_EQ(engine->wait_until.sec, fake_ptz::now().sec + wait);
    fake_ptz::advance(wait);
  }
  EXPECT_EQ(indexes, (std::vector<int>{2, 0, 1}));
}

TEST_F(SteppingTest, KeepaliveEveryTenSecondsAlsoWhilePausedOrFrozen) {
  using Hold = int (*)(PresetTour *);
  for (Hold hold : {Hold(nullptr), Hold(preset_tour_pause_tour),
                    Hold(preset_tour_freeze_tour)}) {
    SCOPED_TRACE(hold == nullptr ? "playing" : "held");
    PresetTour *engine = play(three_points(), kCamera);
    if (hold != nullptr) {
      ASSERT_EQ(hold(engine), 0);
    }
    coordinator().reset();
    auto keepalives = [] {
      int n = 0;
      for (const auto &call : coordinator().calls("Queue"))
        n += call.ints == std::vector<int32_t>{0, QUEUE_ACTION_KEEPALIVE};
      return n;
    };
    fake_ptz::advance(10); /* ENTER answered 1: the next one 10 s ahead */
    step(engine);
    EXPECT_EQ(keepalives(), 0);
    fake_ptz::advance(0, 1);
    step(engine);
    EXPECT_EQ(keepalives(), 1);
    fake_ptz::advance(10, 1);
    step(engine);
    EXPECT_EQ(keepalives(), 2);
    if (hold != nullptr) {
      EXPECT_TRUE(coordinator().calls("GotoPresetNumber").empty());
    }
    preset_tour_unfreeze_tour(engine);
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

TEST_F(SteppingTest, OnlyUnexpectedPositionErrorsAreLogged) {
  for (auto [code, logged] : {std::pair{125, 0}, std::pair{124, 1}}) {
    SCOPED_TRACE(code);
    PresetTour *engine = play(three_points(), kCamera);
    coordinator().script("QueryPosition", {.error_code = code});
    step(engine);
    wait_for_calls("GotoPresetNumber", 1);
    int warnings = 0;
    for (const auto &line : syslog_capture::lines())
      warnings += line.priority == LOG_WARNING &&
                  line.message.starts_with(
                      "DBus call QueryPosition failed, error: ");
    EXPECT_EQ(warnings, logged);
    EXPECT_EQ(syslog_capture::lines().size(), size_t(logged));
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

} // namespace
