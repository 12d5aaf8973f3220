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

struct SpeedCase {
  int speed;
  int32_t wire;
};

class GotoArgumentsTest : public EngineTest,
                          public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(GotoArgumentsTest, CarriesClientPresetAndShiftedSpeed) {
  PresetTour *engine =
      play({.tour_id = 5, .points = {{0, 17, 1, GetParam().speed, 5}}},
           kCamera);
  step(engine);
  wait_for_calls("GotoPresetNumber", 1);

  const auto calls = coordinator().calls();
  ASSERT_EQ(calls.size(), 2u);
  /* The position is read before the goto is sent, never after. */
  EXPECT_EQ(calls[0].method, "QueryPosition");
  EXPECT_EQ(calls[1].method, "GotoPresetNumber");
  EXPECT_EQ(calls[1].client, "Rezazerar");
  EXPECT_EQ(calls[1].camera_id, kCamera);
  EXPECT_EQ(calls[1].ints, (std::vector<int32_t>{0, 17, GetParam().wire}));
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);
  EXPECT_EQ(engine->moving, 1);
}

INSTANTIATE_TEST_SUITE_P(Speeds, GotoArgumentsTest,
                         ::testing::Values(SpeedCase{50, 50 * 65536},
                                           SpeedCase{1, 65536},
                                           SpeedCase{0, 0},
                                           SpeedCase{0x8000, INT32_MIN},
                                           SpeedCase{-1, -65536}));

TEST_F(SteppingTest, PresetEventAcceptsArrivalWithoutPositionTest) {
  PresetTour *engine = play(three_points(), kCamera);
  step(engine);
  wait_for_calls("GotoPresetNumber", 1);

  /* Only event 1 means "reached". */
  ASSERT_TRUE(fake_ptz::fire_preset(kCamera, 2));
  step(engine);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);

  ASSERT_TRUE(fake_ptz::fire_preset(kCamera, 1));
  const TimeValue now = fake_ptz::now();
  step(engine);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);
  EXPECT_EQ(engine->wait_until.sec, now.sec + 5);
  EXPECT_EQ(coordinator().calls("QueryPosition").size(), 1u);
}

TEST_F(SteppingTest, UnchangedPositionAfterReissueMeansArrival) {
  PresetTour *engine = play(three_points(), kCamera);
  coordinator().set_position({4, 5, 6});
  step(engine); /* first goto */

  /* 49 still ticks are not enough. */
  step(engine, 49);
  EXPECT_EQ(engine->goto_attempts, 0);
  EXPECT_EQ(coordinator().calls("QueryPosition").size(), 1u);

  /* The 50th only re-issues: the first readiness never accepts. */
  step(engine);
  EXPECT_EQ(engine->goto_attempts, 1);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);
  wait_for_calls("GotoPresetNumber", 2);
  EXPECT_EQ(coordinator().calls("QueryPosition").size(), 2u);

  /* Still past the threshold: the next tick tests and finds the same place. */
  step(engine);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);
  EXPECT_EQ(engine->moving, 0);
  EXPECT_EQ(engine->goto_attempts, 0);
  EXPECT_EQ(coordinator().calls("QueryPosition").size(), 3u);
}

TEST_F(SteppingTest, ChangedPositionReissuesUntilItHoldsStill) {
  PresetTour *engine = play(three_points(), kCamera);
  coordinator().script("QueryPosition", {{1, 1, 1}}); /* before goto 1 */
  coordinator().script("QueryPosition", {{2, 2, 2}}); /* before goto 2 */
  coordinator().script("QueryPosition", {{3, 3, 3}}); /* test: moved */
  coordinator().script("QueryPosition", {{3, 3, 3}}); /* before goto 3 */
  coordinator().script("QueryPosition", {{3, 3, 3}}); /* test: still */
  step(engine, 51);
  EXPECT_EQ(engine->goto_attempts, 1);
  EXPECT_EQ((std::vector<int32_t>(engine->target_position,
                                  engine->target_position + 3)),
            (std::vector<int32_t>{2, 2, 2}));

  step(engine);
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
  step(engine, 598);
  EXPECT_EQ(engine->goto_attempts, 0);
  EXPECT_EQ(engine->goto_ticks, 598);

  /* A still report counts from zero again, but the tick limit wins first. */
  step(engine);
  EXPECT_EQ(engine->goto_ticks, 599);
  step(engine);
  EXPECT_EQ(engine->goto_attempts, 1);
  EXPECT_EQ(engine->goto_ticks, 0);
  EXPECT_EQ(engine->still_ticks, 0);
  wait_for_calls("GotoPresetNumber", 2);
}

TEST_F(SteppingTest, MovingEventRestartsStillCount) {
  PresetTour *engine = play(three_points(), kCamera);
  step(engine, 30);
  EXPECT_EQ(engine->still_ticks, 29);
  ASSERT_TRUE(fake_ptz::fire_moving(kCamera, 1));
  ASSERT_TRUE(fake_ptz::fire_moving(kCamera, 0));
  step(engine, 49);
  EXPECT_EQ(engine->goto_attempts, 0);
  step(engine);
  EXPECT_EQ(engine->goto_attempts, 1);
}

TEST_F(SteppingTest, OrderedRoundAddsPauseOnLastPointOnly) {
  PresetTour *engine = play(three_points(2), kCamera);
  const std::array<int, 4> dwell = {5, 6, 7 + 2 * 60, 5};
  for (int visit = 0; visit < 4; ++visit) {
    step(engine);
    arrive(engine);
    const TimeValue start = fake_ptz::now();
    EXPECT_EQ(engine->wait_until.sec - start.sec, dwell[size_t(visit)])
        << "visit " << visit;
    /* One second short of the deadline nothing moves; at it, the next goto. */
    fake_ptz::advance(dwell[size_t(visit)] - 1);
    step(engine);
    EXPECT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);
    fake_ptz::advance(1);
  }
  step(engine);
  wait_for_calls("GotoPresetNumber", 5);
  EXPECT_EQ(goto_presets(), (std::vector<int>{21, 22, 23, 21, 22}));
}

TEST_F(SteppingTest, ZeroDwellMovesOnAtNextTick) {
  PresetTour *engine = play(
      {.tour_id = 8, .points = {{0, 31, 1, 1, 0}, {1, 32, 2, 1, 0}}}, kCamera);
  step(engine);
  arrive(engine);
  step(engine);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);
  EXPECT_EQ(engine->current_index, 1);
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
                         g_list_nth_data(engine->presets,
                                         guint(engine->current_index)))
                         ->wait_time;
    EXPECT_EQ(engine->wait_until.sec, fake_ptz::now().sec + wait);
    fake_ptz::advance(wait);
  }
  EXPECT_EQ(indexes, (std::vector<int>{2, 0, 1}));
}

TEST_F(SteppingTest, OnePointRandomTourRevisitsItsPoint) {
  PresetTour *engine = play(
      {.tour_id = 9, .random = "yes", .points = {{0, 41, 1, 1, 1}}}, kCamera);
  for (int visit = 0; visit < 3; ++visit) {
    step(engine);
    EXPECT_EQ(engine->current_index, 0);
    arrive(engine);
    fake_ptz::advance(1);
  }
  wait_for_calls("GotoPresetNumber", 3);
  EXPECT_EQ(goto_presets(), (std::vector<int>{41, 41, 41}));
}

enum class Hold : uint8_t { None, Paused, Frozen };

class KeepaliveTest : public EngineTest,
                      public ::testing::WithParamInterface<Hold> {};

TEST_P(KeepaliveTest, SentWhenTenSecondsPassedWithoutExchange) {
  PresetTour *engine = play(three_points(), kCamera);
  if (GetParam() == Hold::Paused) {
    ASSERT_EQ(preset_tour_pause_tour(engine), 0);
  }
  if (GetParam() == Hold::Frozen) {
    ASSERT_EQ(preset_tour_freeze_tour(engine), 0);
  }
  coordinator().reset();

  auto keepalives = [] {
    int n = 0;
    for (const auto &call : coordinator().calls("Queue"))
      n += call.ints == std::vector<int32_t>{0, 0};
    return n;
  };
  /* ENTER answered 1 put the next keepalive 10 s ahead. */
  fake_ptz::advance(10);
  step(engine);
  EXPECT_EQ(keepalives(), 0);
  fake_ptz::advance(0, 1);
  step(engine);
  EXPECT_EQ(keepalives(), 1);
  EXPECT_EQ(engine->keepalive_at.sec, fake_ptz::now().sec + 10);
  fake_ptz::advance(10, 1);
  step(engine);
  EXPECT_EQ(keepalives(), 2);

  if (GetParam() != Hold::None) {
    EXPECT_EQ(engine->state, PRESET_TOUR_STATE_PREPARED);
    EXPECT_EQ(engine->goto_ticks, 0);
    EXPECT_EQ(coordinator().calls("GotoPresetNumber").size(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Holds, KeepaliveTest,
                         ::testing::Values(Hold::None, Hold::Paused,
                                           Hold::Frozen));

struct EnterCase {
  int32_t reply;
  bool first_step_keepalive;
};

class EnterReplyTest : public EngineTest,
                       public ::testing::WithParamInterface<EnterCase> {};

TEST_P(EnterReplyTest, OnlyOneDefersTheFirstKeepalive) {
  write_tour(three_points());
  coordinator().script("Queue", {{GetParam().reply, 0, 0}});
  PresetTour *engine = make_engine();
  ASSERT_EQ(preset_tour_play_tour(engine, kCamera, 2), 0);
  step(engine);

  const auto queue = coordinator().calls("Queue");
  ASSERT_GE(queue.size(), 1u);
  EXPECT_EQ(queue[0].ints, (std::vector<int32_t>{0, QUEUE_ACTION_ENTER}));
  EXPECT_EQ(queue.size(), GetParam().first_step_keepalive ? 2u : 1u);
  if (queue.size() == 2) {
    EXPECT_EQ(queue[1].ints, (std::vector<int32_t>{0, QUEUE_ACTION_KEEPALIVE}));
  }
}

INSTANTIATE_TEST_SUITE_P(Replies, EnterReplyTest,
                         ::testing::Values(EnterCase{1, false},
                                           EnterCase{0, true},
                                           EnterCase{2, true}));

TEST_F(SteppingTest, GotoReplyPushesKeepaliveBack) {
  PresetTour *engine = play(three_points(), kCamera);
  step(engine);
  fake_ptz::advance(5);
  const bool pushed = run_main_loop_until(
      [&] { return engine->keepalive_at.sec == fake_ptz::now().sec + 10; },
      5000);
  EXPECT_TRUE(pushed);
}

struct PositionErrorCase {
  int code;
  int logged;
};

class PositionErrorTest
    : public EngineTest,
      public ::testing::WithParamInterface<PositionErrorCase> {};

TEST_P(PositionErrorTest, OnlyUnexpectedCodesAreLogged) {
  PresetTour *engine = play(three_points(), kCamera);
  coordinator().script("QueryPosition", {.error_code = GetParam().code});
  step(engine);
  wait_for_calls("GotoPresetNumber", 1);

  int logged = 0;
  const std::string prefix = "DBus call QueryPosition failed, error: ";
  for (const auto &line : syslog_capture::lines())
    if (line.priority == LOG_WARNING && line.message.rfind(prefix, 0) == 0)
      ++logged;
  EXPECT_EQ(logged, GetParam().logged);
  EXPECT_EQ(syslog_capture::lines().size(), size_t(GetParam().logged));
  /* A failed read keeps the old target. */
  EXPECT_EQ(engine->target_position[0], -1);
}

INSTANTIATE_TEST_SUITE_P(Codes, PositionErrorTest,
                         ::testing::Values(PositionErrorCase{125, 0},
                                           PositionErrorCase{124, 1}));

TEST_F(SteppingTest, InactiveEngineDoesNothing) {
  PresetTour *engine = make_engine();
  EXPECT_EQ(preset_tour_iterate_tour(engine), 0);
  EXPECT_TRUE(coordinator().calls().empty());
}

struct StateCase {
  int32_t state;
  const char *message; /* null: silent */
};

class BadStateTest : public EngineTest,
                     public ::testing::WithParamInterface<StateCase> {};

TEST_P(BadStateTest, ReportsAndLeavesEngineAlone) {
  PresetTour *engine = play(three_points(), kCamera);
  engine->state = GetParam().state;
  EXPECT_EQ(preset_tour_iterate_tour(engine), -1);
  EXPECT_EQ(preset_tour_iterate_tour(engine), -1);
  EXPECT_EQ(engine->state, GetParam().state);
  if (GetParam().message != nullptr) {
    EXPECT_EQ(syslog_capture::count(LOG_ERR, GetParam().message), 2);
  } else {
    EXPECT_TRUE(syslog_capture::lines().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    States, BadStateTest,
    ::testing::Values(
        StateCase{PRESET_TOUR_STATE_IDLE, nullptr},
        StateCase{PRESET_TOUR_STATE_DESTROYED,
                  "Current state = PRESET_TOUR_STATE_DESTROYED"},
        StateCase{7, "Current state = UNKNOWN"},
        StateCase{-1, "Current state = UNKNOWN"}));

} // namespace
