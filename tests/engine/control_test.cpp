#include <syslog.h>

#include "engine_fixture.h"
#include "param_store_testing.h"

namespace {

using ControlTest = EngineTest;

constexpr int kCamera = 2;

TourSpec two_points() {
  return {.tour_id = 3,
          .points = {{0, 51, 1, 1, 30}, {1, 52, 2, 1, 30}}};
}

/* Brings a freshly played tour to its dwell at the first point, its goto
 * seen by the coordinator. */
PresetTour *dwelling(PresetTour *engine) {
  preset_tour_iterate_tour(engine);
  EXPECT_TRUE(run_main_loop_until(
      [] { return !coordinator().calls("GotoPresetNumber").empty(); }, 5000));
  EXPECT_TRUE(fake_ptz::fire_preset(kCamera, 1));
  preset_tour_iterate_tour(engine);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);
  return engine;
}

/* Platform calls after the first `skip`, as "name(camera)". */
std::vector<std::string> platform_calls_since(size_t skip) {
  std::vector<std::string> out;
  for (const auto &call : fake_ptz::calls())
    if (skip > 0)
      --skip;
    else
      out.push_back(call.name + "(" + std::to_string(call.camera_id) + ")");
  return out;
}

int leaves() {
  int n = 0;
  for (const auto &call : coordinator().calls("Queue"))
    n += call.ints == std::vector<int32_t>{0, QUEUE_ACTION_LEAVE};
  return n;
}

/* Pause (P), resume by play (R), freeze (F), unfreeze (U), each after one
 * more second than the one before it: 1, 2, 3, 4 s. */
struct HoldCase {
  const char *name;
  const char *ops;
  int shift;  /* seconds wait_until ends up later by */
  int leaves; /* Queue LEAVE calls sent on the way */
};

class HoldTest : public EngineTest,
                 public ::testing::WithParamInterface<HoldCase> {};

TEST_P(HoldTest, DwellLosesNoTimeToTheHold) {
  PresetTour *engine = dwelling(play(two_points(), kCamera));
  const TimeValue deadline = engine->wait_until;
  coordinator().reset();

  int delay = 1;
  for (const char *op = GetParam().ops; *op != '\0'; ++op, ++delay) {
    fake_ptz::advance(delay);
    switch (*op) {
    case 'P':
      ASSERT_EQ(preset_tour_pause_tour(engine), 0);
      break;
    case 'R':
      ASSERT_EQ(preset_tour_play_tour(engine, kCamera, 3), 0);
      break;
    case 'F':
      ASSERT_EQ(preset_tour_freeze_tour(engine), 0);
      break;
    case 'U':
      ASSERT_EQ(preset_tour_unfreeze_tour(engine), 0);
      break;
    }
  }
  EXPECT_EQ(engine->wait_until.sec, deadline.sec + GetParam().shift);
  EXPECT_EQ(engine->wait_until.usec, deadline.usec);
  EXPECT_EQ(engine->paused, 0);
  EXPECT_EQ(engine->frozen, 0);
  EXPECT_EQ(leaves(), GetParam().leaves);
  /* The dwell is in progress, so no hold re-sends a goto. */
  EXPECT_TRUE(coordinator().calls("GotoPresetNumber").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Orders, HoldTest,
    ::testing::Values(HoldCase{"PauseResume", "PR", 2, 1},
                      HoldCase{"FreezeUnfreeze", "FU", 2, 0},
                      /* the hold starts at the pause and ends at the
                       * unfreeze: 2 + 3 + 4 s */
                      HoldCase{"PauseFreezeResumeUnfreeze", "PFRU", 9, 1},
                      /* frozen at the pause: no LEAVE; ends at the resume */
                      HoldCase{"FreezePauseUnfreezeResume", "FPUR", 9, 0},
                      HoldCase{"PauseFreezeUnfreezeResume", "PFUR", 9, 1},
                      HoldCase{"FreezePauseResumeUnfreeze", "FPRU", 9, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ControlTest, ResumeWhileFrozenKeepsTheHoldGoing) {
  PresetTour *engine = dwelling(play(two_points(), kCamera));
  const TimeValue deadline = engine->wait_until;
  ASSERT_EQ(preset_tour_pause_tour(engine), 0);
  fake_ptz::advance(4);
  ASSERT_EQ(preset_tour_freeze_tour(engine), 0);
  const int subscribed = fake_ptz::count("preset_events_init");

  ASSERT_EQ(preset_tour_play_tour(engine, kCamera, 3), 0);
  EXPECT_EQ(engine->paused, 0);
  EXPECT_EQ(engine->wait_until.sec, deadline.sec);
  EXPECT_EQ(fake_ptz::count("preset_events_init"), subscribed + 1);

  /* Held: the dwell does not end however long the hold lasts. */
  fake_ptz::advance(100);
  preset_tour_iterate_tour(engine);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);

  ASSERT_EQ(preset_tour_unfreeze_tour(engine), 0);
  EXPECT_EQ(engine->wait_until.sec, deadline.sec + 104);
}

TEST_F(ControlTest, UnfreezeResendsPendingGotoEvenWhenPaused) {
  PresetTour *engine = play(two_points(), kCamera);
  preset_tour_iterate_tour(engine);
  wait_for_calls("GotoPresetNumber", 1);
  ASSERT_EQ(preset_tour_freeze_tour(engine), 0);
  ASSERT_EQ(preset_tour_pause_tour(engine), 0);

  ASSERT_EQ(preset_tour_unfreeze_tour(engine), 0);
  wait_for_calls("GotoPresetNumber", 2);
  EXPECT_EQ(goto_presets(), (std::vector<int>{51, 51}));
  EXPECT_EQ(engine->paused, 1);
  EXPECT_EQ(engine->moving, 1);
}

TEST_F(ControlTest, RefusedOperationsChangeNothing) {
  PresetTour *engine = make_engine();
  EXPECT_EQ(preset_tour_pause_tour(engine), -1);
  EXPECT_EQ(preset_tour_unfreeze_tour(engine), -1);
  EXPECT_EQ(preset_tour_freeze_tour(engine), 0);
  EXPECT_EQ(preset_tour_freeze_tour(engine), -1);
  EXPECT_EQ(engine->frozen, 1);
  EXPECT_EQ(engine->paused, 0);

  engine = play(two_points(), kCamera);
  EXPECT_EQ(preset_tour_pause_tour(engine), 0);
  EXPECT_EQ(preset_tour_pause_tour(engine), 0);
  EXPECT_EQ(leaves(), 1);
}

TEST_F(ControlTest, FreezeOutlastsStopIntoTheNextTour) {
  PresetTour *engine = play(two_points(), kCamera);
  ASSERT_EQ(preset_tour_freeze_tour(engine), 0);
  ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  EXPECT_EQ(engine->frozen, 1);

  ASSERT_EQ(preset_tour_play_tour(engine, kCamera, 3), 0);
  coordinator().reset();
  preset_tour_iterate_tour(engine);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_PREPARED);
  ASSERT_EQ(preset_tour_unfreeze_tour(engine), 0);
  preset_tour_iterate_tour(engine);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);
}

TEST_F(ControlTest, FreshPlayAnnouncesWritesAndSubscribes) {
  write_tour(two_points());
  PresetTour *engine = make_engine();
  const size_t before = fake_ptz::calls().size();
  ASSERT_EQ(preset_tour_play_tour(engine, kCamera, 3), 0);

  EXPECT_EQ(engine->active, 1);
  EXPECT_NE(engine->proxy, nullptr);
  const auto queue = coordinator().calls("Queue");
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue[0].camera_id, kCamera);
  EXPECT_EQ(queue[0].client, "Rezazerar");
  EXPECT_EQ(queue[0].ints, (std::vector<int32_t>{0, QUEUE_ACTION_ENTER}));
  EXPECT_EQ(platform_calls_since(before),
            (std::vector<std::string>{"preset_events_init(2)",
                                      "tour_moving_events_enable(2)"}));
  EXPECT_EQ(running_of(3), "yes");

  /* A repeated play only subscribes again. */
  coordinator().reset();
  ASSERT_EQ(preset_tour_play_tour(engine, kCamera, 3), 0);
  EXPECT_TRUE(coordinator().calls().empty());
  EXPECT_EQ(fake_ptz::count("preset_events_init"), 2);
  EXPECT_TRUE(fake_ptz::preset_registered(kCamera));
}

TEST_F(ControlTest, PlayOfUnloadableTourTouchesNothing) {
  write_tour({.tour_id = 3, .points = {}});
  PresetTour *engine = make_engine();
  const size_t before = fake_ptz::calls().size();
  param_store_testing_reset();

  EXPECT_EQ(preset_tour_play_tour(engine, kCamera, 3), -1);
  EXPECT_EQ(engine->active, 0);
  EXPECT_EQ(engine->tour_id, -1);
  EXPECT_TRUE(coordinator().calls().empty());
  EXPECT_EQ(fake_ptz::calls().size(), before);
  preset_tour_flush_running_writes();
  EXPECT_EQ(param_store_testing_calls("cli_setCustomParam"), 0);
}

TEST_F(ControlTest, StopMovesLeavesReleasesAndUnsubscribes) {
  PresetTour *engine = play(two_points(), kCamera);
  preset_tour_iterate_tour(engine);
  wait_for_calls("GotoPresetNumber", 1);
  coordinator().reset();
  const size_t before = fake_ptz::calls().size();

  ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  const auto calls = coordinator().calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].method, "Move");
  EXPECT_EQ(calls[0].client, "Rezazerar");
  EXPECT_EQ(calls[0].camera_id, kCamera);
  EXPECT_EQ(calls[0].ints,
            (std::vector<int32_t>{0, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0,
                                  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(calls[1].method, "Queue");
  EXPECT_EQ(calls[1].ints, (std::vector<int32_t>{0, QUEUE_ACTION_LEAVE}));
  /* The Move reply counts as an exchange. */
  EXPECT_EQ(engine->keepalive_at.sec, fake_ptz::now().sec + 10);

  EXPECT_EQ(engine->proxy, nullptr);
  EXPECT_EQ(engine->active, 0);
  EXPECT_EQ(engine->tour_id, -1);
  EXPECT_EQ(engine->presets, nullptr);
  EXPECT_EQ(platform_calls_since(before),
            (std::vector<std::string>{"preset_events_cleanup(2)",
                                      "tour_moving_events_disable(2)"}));
  EXPECT_FALSE(fake_ptz::preset_registered(kCamera));
  EXPECT_EQ(running_of(3), "no");
}

TEST_F(ControlTest, StopOfIdleEngineOnlyUnsubscribesCameraMinusOne) {
  PresetTour *engine = make_engine();
  const size_t before = fake_ptz::calls().size();
  param_store_testing_reset();

  ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  EXPECT_TRUE(coordinator().calls().empty());
  EXPECT_EQ(platform_calls_since(before),
            (std::vector<std::string>{"preset_events_cleanup(-1)",
                                      "tour_moving_events_disable(-1)"}));
  preset_tour_flush_running_writes();
  EXPECT_EQ(param_store_testing_calls("cli_getCustomParam"), 0);
  EXPECT_EQ(param_store_testing_calls("cli_setCustomParam"), 0);
}

TEST_F(ControlTest, EngineWithoutProxyNeverAborts) {
  PresetTour *engine = play(two_points(), kCamera);
  /* As if the proxy could not be made at play. */
  g_clear_object(&engine->proxy);

  preset_tour_iterate_tour(engine);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);
  EXPECT_EQ(engine->moving, 1);
  step(engine, 51);
  EXPECT_EQ(engine->goto_attempts, 2);
  EXPECT_EQ(syslog_capture::count(
                LOG_ERR,
                "No DBus proxy connection when trying to call QueryPosition"),
            1);
  EXPECT_EQ(preset_tour_control_queue(engine, QUEUE_ACTION_KEEPALIVE), -1);

  ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  EXPECT_EQ(engine->active, 0);
  EXPECT_FALSE(fake_ptz::moving_registered(kCamera));
  EXPECT_TRUE(coordinator().calls().empty());
  EXPECT_EQ(running_of(3), "no");
}

TEST_F(ControlTest, FinalisingDoesNotStopTheTour) {
  PresetTour *engine = play(two_points(), kCamera);
  g_object_unref(engine);
  EXPECT_TRUE(coordinator().calls().empty());
  EXPECT_TRUE(fake_ptz::preset_registered(kCamera));
  EXPECT_EQ(running_of(3), "yes");
}

} // namespace
