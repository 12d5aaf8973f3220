/* Play, stop, the holds, an engine without a proxy, and the Running
 * writer. */
#include <syslog.h>

#include "engine_fixture.h"

namespace {

using ControlTest = EngineTest;
constexpr int kCamera = 2;

const TourSpec kTwoPoints{.tour_id = 3,
                          .points = {{0, 51, 1, 1, 30}, {1, 52, 2, 1, 30}}};

/* Platform calls after the first `skip`, as "name(camera)". */
std::vector<std::string> platform_calls_since(size_t skip) {
  std::vector<std::string> out;
  for (size_t i = skip; i < fake_ptz::calls().size(); ++i)
    out.push_back(fake_ptz::calls()[i].name + "(" +
                  std::to_string(fake_ptz::calls()[i].camera_id) + ")");
  return out;
}

int leaves() {
  int n = 0;
  for (const auto &call : coordinator().calls("Queue"))
    n += call.ints == std::vector<int32_t>{0, QUEUE_ACTION_LEAVE};
  return n;
}

/* Pause (P), resume by play (R), freeze (F), unfreeze (U) during a dwell,
 * each one second later than the one before: at 1, 2, 3, 4 s. */
TEST_F(ControlTest, DwellLosesNoTimeToTheHold) {
  struct {
    const char *ops;
    int shift;  /* seconds the dwell's end moves */
    int leaves; /* Queue LEAVE calls on the way */
  } const cases[] = {
      {"PR", 2, 1},
      {"FU", 2, 0},
      {"PFRU", 9, 1}, /* held from the pause to the unfreeze: 2 + 3 + 4 s */
      {"FPUR", 9, 0}, /* frozen at the pause: no LEAVE */
      {"PFUR", 9, 1},
      {"FPRU", 9, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.ops);
    PresetTour *engine = play(kTwoPoints, kCamera);
    step(engine);
    wait_for_calls("GotoPresetNumber", 1);
    ASSERT_TRUE(fake_ptz::fire_preset(kCamera, 1));
    step(engine);
    ASSERT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);
    const TimeValue deadline = engine->wait_until;
    coordinator().reset();
    int delay = 1;
    for (const char *op = c.ops; *op != '\0'; ++op, ++delay) {
      fake_ptz::advance(delay);
      ASSERT_EQ(*op == 'P'   ? preset_tour_pause_tour(engine)
                : *op == 'R' ? preset_tour_play_tour(engine, kCamera, 3)
                : *op == 'F' ? preset_tour_freeze_tour(engine)
                             : preset_tour_unfreeze_tour(engine),
                0);
    }
    EXPECT_EQ(engine->wait_until.sec, deadline.sec + c.shift);
    EXPECT_EQ(engine->wait_until.usec, deadline.usec);
    EXPECT_EQ(engine->paused + engine->frozen, 0);
    EXPECT_EQ(leaves(), c.leaves);
    EXPECT_TRUE(coordinator().calls("GotoPresetNumber").empty());
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

TEST_F(ControlTest, PlayAnnouncesAndSubscribesStopMovesLeavesAndReleases) {
  write_tour(kTwoPoints);
  PresetTour *engine = make_engine();
  size_t before = fake_ptz::calls().size();
  ASSERT_EQ(preset_tour_play_tour(engine, kCamera, 3), 0);
  auto calls = coordinator().calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "Queue");
  EXPECT_EQ(calls[0].camera_id, kCamera);
  EXPECT_EQ(calls[0].client, "Rezazerar");
  EXPECT_EQ(calls[0].ints, (std::vector<int32_t>{0, QUEUE_ACTION_ENTER}));
  EXPECT_EQ(platform_calls_since(before),
            (std::vector<std::string>{"preset_events_init(2)",
                                      "tour_moving_events_enable(2)"}));
  EXPECT_EQ(running_of(3), "yes");

  step(engine);
  wait_for_calls("GotoPresetNumber", 1);
  coordinator().reset();
  before = fake_ptz::calls().size();
  ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  calls = coordinator().calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].method, "Move");
  EXPECT_EQ(calls[0].client, "Rezazerar");
  EXPECT_EQ(calls[0].camera_id, kCamera);
  EXPECT_EQ(calls[0].ints,
            (std::vector<int32_t>{0, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0,
                                  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(calls[1].method, "Queue");
  EXPECT_EQ(calls[1].ints, (std::vector<int32_t>{0, QUEUE_ACTION_LEAVE}));
  EXPECT_EQ(engine->active, 0);
  EXPECT_EQ(platform_calls_since(before),
            (std::vector<std::string>{"preset_events_cleanup(2)",
                                      "tour_moving_events_disable(2)"}));
  EXPECT_EQ(running_of(3), "no");
}

TEST_F(ControlTest, PlayOfUnloadableTourTouchesNothing) {
  write_tour({.tour_id = 3});
  PresetTour *engine = make_engine();
  const size_t before = fake_ptz::calls().size();
  param_store_testing_reset();
  EXPECT_EQ(preset_tour_play_tour(engine, kCamera, 3), -1);
  EXPECT_EQ(syslog_capture::count(LOG_ERR, "Error fetching tour relay points"),
            1);
  EXPECT_EQ(engine->active, 0);
  EXPECT_TRUE(coordinator().calls().empty());
  EXPECT_EQ(fake_ptz::calls().size(), before);
  preset_tour_flush_running_writes();
  EXPECT_EQ(param_store_testing_calls("cli_setCustomParam"), 0);
}

TEST_F(ControlTest, EngineWithoutProxyNeverAborts) {
  PresetTour *engine = play(kTwoPoints, kCamera);
  g_clear_object(&engine->proxy); /* as if it could not be made at play */
  step(engine, 52);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);
  EXPECT_EQ(engine->goto_attempts, 2);
  EXPECT_EQ(syslog_capture::count(
                LOG_ERR,
                "No DBus proxy connection when trying to call QueryPosition"),
            1);
  EXPECT_EQ(preset_tour_control_queue(engine, QUEUE_ACTION_KEEPALIVE), -1);
  ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  EXPECT_EQ(engine->active, 0);
  EXPECT_TRUE(coordinator().calls().empty());
  EXPECT_EQ(running_of(3), "no");
}

TEST_F(ControlTest, RunningWriterWritesOnlyWhenTheStoredTextDiffers) {
  struct {
    const char *stored; /* nullptr: no Running parameter at all */
    int running, writes;
    const char *after;
  } const cases[] = {
      {"no", 1, 1, "yes"}, {"yes", 0, 1, "no"}, {"yes", 1, 0, "yes"},
      {"no", 0, 0, "no"},  {nullptr, 1, 0, "<absent>"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.stored << " -> " << c.running);
    temp_store::drop(temp_store::tour(7));
    temp_store::put(temp_store::tour(7, c.stored ? "Running" : "Name"),
                    c.stored ? c.stored : "patrol");
    param_store_testing_reset();
    ASSERT_EQ(preset_tour_update_running_state(7, c.running), 0);
    EXPECT_EQ(running_of(7), c.after);
    EXPECT_EQ(param_store_testing_calls("cli_setCustomParam"), c.writes);
  }
}

TEST_F(ControlTest, RunningWriterLastRequestWinsPerTour) {
  for (int end : {0, 1}) {
    SCOPED_TRACE(end);
    temp_store::put(temp_store::tour(1, "Running"), "no");
    temp_store::put(temp_store::tour(2, "Running"), "no");
    /* Writes that block in the store let the requests pile up behind. */
    for (int i = 0; i < 200; ++i) {
      ASSERT_EQ(preset_tour_update_running_state(1, (i + end + 1) % 2), 0);
      ASSERT_EQ(preset_tour_update_running_state(2, (i + end) % 2), 0);
    }
    EXPECT_EQ(running_of(1), end ? "yes" : "no");
    EXPECT_EQ(running_of(2), end ? "no" : "yes");
  }
}

} // namespace
