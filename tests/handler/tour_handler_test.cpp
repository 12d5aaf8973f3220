/* The tour handler: its request queue, blocking, the processing rules,
 * start-up recovery, control events and the tick. */
#include <map>
#include <syslog.h>

#include "handler_fixture.h"

using namespace handler_test;

static auto *const bus_env =
    ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);

namespace {

using QueueTest = HandlerTest;
using ProcessTest = HandlerTest;

const TourAction &queued(TourHandler *handler, guint n) {
  return *static_cast<TourAction *>(g_queue_peek_nth(handler->action_queue, n));
}

TEST_F(QueueTest, RequestsQueueInArrivalOrderBehindOneIdleSource) {
  start_handler();
  ASSERT_EQ(handler_->idle_id, 0u);
  ASSERT_TRUE(tour_handler_play_preset_tour(handler_, 1, nullptr));
  const guint idle = handler_->idle_id;
  EXPECT_NE(idle, 0u);
  ASSERT_TRUE(tour_handler_stop_preset_tour(handler_, 2, nullptr));
  ASSERT_TRUE(tour_handler_pause_preset_tour(handler_, 3, nullptr));
  ASSERT_TRUE(tour_handler_resume_preset_tour(handler_, 4, nullptr));
  ASSERT_TRUE(tour_handler_driver_uninstalled(handler_, 5));
  EXPECT_EQ(handler_->idle_id, idle);
  const int32_t kinds[] = {TOUR_ACTION_PLAY, TOUR_ACTION_STOP, TOUR_ACTION_PAUSE,
                           TOUR_ACTION_RESUME, TOUR_ACTION_DRIVER_UNINSTALLED};
  ASSERT_EQ(g_queue_get_length(handler_->action_queue), std::size(kinds));
  for (guint i = 0; i < std::size(kinds); ++i) {
    const TourAction &a = queued(handler_, i);
    EXPECT_EQ(a.kind, kinds[i]) << i;
    EXPECT_EQ(i < 4 ? a.tour_id : a.camera_id, int32_t(i + 1)) << i;
  }
  process();
  EXPECT_TRUE(g_queue_is_empty(handler_->action_queue));
}

TEST_F(QueueTest, SetPresetTourRunningParsesGroupAndText) {
  struct {
    const char *running, *confhub_id;
    bool queues;
    int32_t kind, tour_id;
  } const cases[] = {
      {"yes", "G12", true, TOUR_ACTION_PLAY, 12},
      {"no", "G12", true, TOUR_ACTION_STOP, 12},
      {"yes", "12", true, TOUR_ACTION_PLAY, 0},
      {"yes", "X3", true, TOUR_ACTION_PLAY, 0},
      {"yes", "G7.Tour", true, TOUR_ACTION_PLAY, 7},
      {"no", "G -4", true, TOUR_ACTION_STOP, -4},
      {"YES", "G12", false, 0, 0},
      {"", "G12", false, 0, 0},
  };
  start_handler();
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.running << " " << c.confhub_id);
    g_autoptr(GError) error = nullptr;
    EXPECT_TRUE(tour_handler_set_preset_tour_running(handler_, c.running,
                                                     c.confhub_id, &error));
    EXPECT_EQ(error, nullptr);
    ASSERT_EQ(g_queue_get_length(handler_->action_queue), c.queues ? 1u : 0u);
    if (c.queues) {
      EXPECT_EQ(queued(handler_, 0).kind, c.kind);
      EXPECT_EQ(queued(handler_, 0).tour_id, c.tour_id);
      g_free(g_queue_pop_head(handler_->action_queue));
    }
  }
  EXPECT_TRUE(syslog_capture::lines().empty());
}

TEST_F(QueueTest, BlockAndUnblockAcceptOnlyCamerasOneToEight) {
  start_handler();
  for (Request op : {Request(tour_handler_block_playback),
                     Request(tour_handler_unblock_playback)})
    for (int32_t cam : {0, 9, -1, 1, 8}) {
      SCOPED_TRACE(cam);
      syslog_capture::clear();
      const bool accepted = cam >= 1 && cam <= 8;
      g_autoptr(GError) error = nullptr;
      EXPECT_EQ(op(handler_, cam, &error), accepted);
      EXPECT_EQ(syslog_capture::count(LOG_ERR, "Image source id out of range"),
                accepted ? 0 : 1);
      if (!accepted) {
        ASSERT_TRUE(g_error_matches(error, TOUR_HANDLER_ERROR,
                                    TOUR_HANDLER_ERROR_OUT_OF_RANGE));
        EXPECT_STREQ(error->message, "Image source id out of range");
      }
    }
  EXPECT_EQ(handler_->playback_blocked[0] + handler_->playback_blocked[7], 0);
}

TEST_F(QueueTest, BlockStopsTheTourAtOnceAndRefusesPlaysUntilUnblocked) {
  seed_tour(1, "2");
  start_handler();
  play(1);
  ASSERT_EQ(held(2), 1);
  ASSERT_TRUE(tour_handler_block_playback(handler_, 2, nullptr));
  EXPECT_EQ(held(2), -1); /* no processing run in between */
  EXPECT_EQ(running_of(1), "no");

  /* The store side says "yes" again; the play is refused silently. */
  put(tour(1, "Running"), "yes");
  syslog_capture::clear();
  play(1);
  EXPECT_EQ(held(2), -1);
  EXPECT_EQ(running_of(1), "no");
  EXPECT_TRUE(syslog_capture::lines().empty());

  EXPECT_TRUE(tour_handler_unblock_playback(handler_, 2, nullptr));
  play(1);
  EXPECT_EQ(held(2), 1);
  EXPECT_EQ(running_of(1), "yes");
}

TEST_F(QueueTest, TickIsInstalledOnlyWhileAnEngineIsActive) {
  seed_tour(1, "4");
  start_handler();
  tour_handler_update_timer(handler_);
  EXPECT_EQ(handler_->timeout_id, 0u);
  play(1);
  const guint tick = handler_->timeout_id;
  EXPECT_NE(tick, 0u);
  tour_handler_update_timer(handler_);
  EXPECT_EQ(handler_->timeout_id, tick);
  /* The tick goes at the next processing run, which the tick itself starts. */
  ASSERT_TRUE(tour_handler_block_playback(handler_, 4, nullptr));
  EXPECT_EQ(handler_->timeout_id, tick);
  EXPECT_TRUE(tour_handler_iterate_tours(handler_));
  EXPECT_EQ(handler_->timeout_id, 0u);
}

TEST_F(ProcessTest, PlayOfAHeldTourDoesNothingEvenPausedOrFrozen) {
  seed_tour(1, "1");
  start_handler();
  play(1);
  ASSERT_EQ(running_of(1), "yes");
  for (auto hold : {preset_tour_pause_tour, preset_tour_freeze_tour}) {
    hold(slot(1));
    syslog_capture::clear();
    const int writes = calls("cli_setCustomParam");
    play(1);
    preset_tour_flush_running_writes();
    EXPECT_EQ(held(1), 1);
    EXPECT_EQ(calls("cli_setCustomParam"), writes);
    EXPECT_TRUE(syslog_capture::lines().empty());
  }
  EXPECT_EQ(slot(1)->paused, 1); /* a play does not resume */
}

TEST_F(ProcessTest, UnplayableTourIsRefusedLoggedAndMarkedNotRunning) {
  struct {
    const char *cam; /* nullptr: CamNbr missing */
    const char *log;
    bool loadable = true;
  } const cases[] = {
      {nullptr, "Failed to fetch camera_id"},
      {"abc", "Failed to fetch camera_id"},
      {"", "Failed to fetch camera_id"},
      {"-5", "Failed to fetch camera_id"},
      {"0", "Camera id 0 of tour 3 out of range"},
      {"9", "Camera id 9 of tour 3 out of range"},
      {"2", "Failed to play tour", false},
  };
  start_handler();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.cam ? c.cam : "(missing)");
    drop(tour(3));
    seed_tour(3, c.cam, "yes");
    if (!c.loadable)
      put(tour(3, "TimeBetweenSequences"), "soon");
    syslog_capture::clear();
    play(3);
    request(tour_handler_pause_preset_tour, 3);
    request(tour_handler_resume_preset_tour, 3);
    EXPECT_EQ(running_of(3), "no");
    EXPECT_EQ(syslog_capture::count(LOG_WARNING, c.log), c.loadable ? 3 : 1);
    EXPECT_EQ(held(2), c.loadable ? -2 : -1);
  }
  EXPECT_EQ(engines(), std::vector<int>{2});
}

TEST_F(ProcessTest, PlayOnACameraReplacesItsTour) {
  seed_tour(1, "6");
  seed_tour(2, "6");
  start_handler();
  play(1);
  ASSERT_EQ(running_of(1), "yes");
  play(2);
  EXPECT_EQ(held(6), 2);
  EXPECT_EQ(running_of(1), "no");
  EXPECT_EQ(running_of(2), "yes");
}

TEST_F(ProcessTest, StopFollowsTheTourCamera) {
  struct {
    const char *cam_at_stop;
    bool stops;
    const char *log; /* nullptr: nothing logged */
  } const cases[] = {
      {"3", true, nullptr},   {"abc", true, nullptr}, {"-5", true, nullptr},
      {"4", false, nullptr},  {"9", true, "Camera id 9 of tour 5 out of range"},
  };
  seed_tour(5, "3");
  start_handler();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.cam_at_stop);
    put(tour(5, "CamNbr"), "3");
    play(5);
    ASSERT_EQ(held(3), 5);
    put(tour(5, "CamNbr"), c.cam_at_stop);
    syslog_capture::clear();
    request(tour_handler_stop_preset_tour, 5);
    EXPECT_EQ(held(3), c.stops ? -1 : 5);
    EXPECT_EQ(running_of(5), c.stops ? "no" : "yes");
    if (c.log) {
      EXPECT_EQ(syslog_capture::count(LOG_WARNING, c.log), 1);
    }
    EXPECT_EQ(syslog_capture::count("Failed to fetch camera_id") +
                  syslog_capture::count("Failed to stop playing tour"),
              0);
  }
}

TEST_F(ProcessTest, PauseAndResumeActOnlyOnTheHeldTour) {
  seed_tour(1, "7");
  seed_tour(2, "7");
  start_handler();
  /* Not held: the camera's engine is created all the same. */
  request(tour_handler_pause_preset_tour, 1);
  ASSERT_NE(slot(7), nullptr);
  EXPECT_EQ(slot(7)->paused, 0);
  play(1);
  const std::tuple<Request, int, int> steps[] = {
      {tour_handler_pause_preset_tour, 2, 0},
      {tour_handler_pause_preset_tour, 1, 1},
      {tour_handler_resume_preset_tour, 2, 1},
      {tour_handler_resume_preset_tour, 1, 0},
  };
  for (const auto &[op, tour_id, paused] : steps) {
    request(op, tour_id);
    EXPECT_EQ(slot(7)->paused, paused);
    EXPECT_EQ(held(7), 1);
  }
  EXPECT_EQ(syslog_capture::count("Failed to pause tour") +
                syslog_capture::count("Failed to resume playing tour"),
            0);
}

TEST_F(ProcessTest, DriverUninstalledStopsAndDeletesTheCameraTours) {
  seed_tour(1, "2");
  seed_tour(2, "3");
  seed_tour(3, "2");
  seed_tour(4, "abc");
  start_handler();
  play(1);
  ASSERT_TRUE(tour_handler_driver_uninstalled(handler_, 2));
  process();
  /* The stop's Running "no" must not bring the deleted group back. */
  preset_tour_flush_running_writes();
  EXPECT_EQ(held(2), -1);
  EXPECT_FALSE(group_exists(1));
  EXPECT_TRUE(group_exists(2));
  EXPECT_FALSE(group_exists(3));
  EXPECT_TRUE(group_exists(4));

  /* A bogus camera id deletes nothing, even tours with that very CamNbr. */
  seed_tour(5, "0");
  seed_tour(6, "9");
  param_store_testing_reset();
  for (int32_t cam : {0, 9, -3}) {
    ASSERT_TRUE(tour_handler_driver_uninstalled(handler_, cam));
    process();
    EXPECT_EQ(syslog_capture::count(LOG_WARNING,
                                    "Ignoring driver uninstall of camera id " +
                                        std::to_string(cam)),
              1);
  }
  EXPECT_EQ(calls("cli_deleteGroup"), 0);
}

TEST_F(ProcessTest, UnknownKindsAndNegativeTourIdsAreReportedAndDropped) {
  seed_tour(1, "1");
  start_handler();
  request(tour_handler_pause_preset_tour, 1); /* an engine holding tour -1 */
  param_store_testing_reset();
  for (int32_t kind : {5, 42, -1}) {
    auto *action = g_new0(TourAction, 1);
    action->kind = kind;
    tour_handler_push_action(handler_, action);
  }
  for (Request op : {tour_handler_play_preset_tour, tour_handler_stop_preset_tour,
                     tour_handler_pause_preset_tour,
                     tour_handler_resume_preset_tour})
    ASSERT_TRUE(op(handler_, -1, nullptr));
  process();
  preset_tour_flush_running_writes();
  for (int32_t kind : {5, 42, -1})
    EXPECT_EQ(syslog_capture::count(
                  LOG_ERR, "Errorious preset action: " + std::to_string(kind)),
              1);
  EXPECT_EQ(syslog_capture::count(LOG_WARNING,
                                  "Ignoring request for invalid tour id -1"),
            4);
  EXPECT_EQ(calls("cli_getCustomParam") + calls("cli_setCustomParam"), 0);
  EXPECT_EQ(held(1), -1);
}

TEST_F(ProcessTest, StartUpResumesOneRunningTourPerCamera) {
  struct Seed {
    int tour_id;
    const char *cam, *running;
  };
  struct {
    const char *name;
    std::vector<Seed> tours;
    std::map<int, int> resumed;         /* camera -> tour it plays */
    std::map<int, std::string> running; /* tour -> Running after */
  } const cases[] = {
      {"none", {}, {}, {}},
      {"one", {{1, "3", "yes"}, {2, "3", "no"}}, {{3, 1}}, {{1, "yes"}, {2, "no"}}},
      {"conflicts",
       {{1, "2", "yes"}, {2, "4", "yes"}, {3, "2", "yes"}, {4, "2", "yes"}},
       {{4, 2}},
       {{1, "no"}, {2, "yes"}, {3, "no"}, {4, "no"}}},
      {"two cameras", {{1, "5", "yes"}, {2, "1", "yes"}}, {{5, 1}, {1, 2}}, {}},
      {"not exactly yes", {{1, "1", "Yes"}}, {}, {{1, "Yes"}}},
      {"camera unusable",
       {{1, nullptr, "yes"}, {2, "0", "yes"}, {3, "9", "yes"}, {4, "abc", "yes"}},
       {},
       {{1, "yes"}, {2, "yes"}, {3, "yes"}, {4, "yes"}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    for (const Seed &t : c.tours)
      seed_tour(t.tour_id, t.cam, t.running);
    start_handler();
    std::map<int, int> resumed;
    for (int cam : engines()) {
      EXPECT_EQ(slot(cam)->active, 1);
      resumed[cam] = held(cam);
    }
    EXPECT_EQ(resumed, c.resumed);
    for (const auto &[tour_id, running] : c.running)
      EXPECT_EQ(running_of(tour_id), running) << "tour " << tour_id;
    EXPECT_EQ(handler_->timeout_id, 0u); /* waits for the caller's update */
    tour_handler_update_timer(handler_);
    EXPECT_EQ(handler_->timeout_id != 0u, !c.resumed.empty());
    stop_handler();
    preset_tour_flush_running_writes();
    drop("root.RezazErar");
  }
}

TEST_F(ProcessTest, ControlEventsDecideTheTourOfTheirCamera) {
  struct {
    const char *client; /* nullptr: no name given */
    bool frozen_before;
    int32_t frozen_after, active_after;
  } const cases[] = {
      {"Rezazerar", true, 0, 1},    {"Recordedtour", false, 0, 0},
      {"", false, 0, 1},            {"", true, 1, 1},
      {"operator", false, 1, 1},    {"rezazerar", false, 1, 1},
      {nullptr, false, 1, 1},
  };
  seed_tour(5, "2");
  start_handler();
  for (int cam : {0, 9, -1, 3}) /* out of range, or no engine */
    for (const char *client : {"Rezazerar", "Recordedtour", "operator"})
      ASSERT_TRUE(fake_ptz::fire_control(cam, client));
  EXPECT_TRUE(engines().empty());
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.client << " frozen " << c.frozen_before);
    play(5);
    ASSERT_EQ(held(2), 5);
    preset_tour_unfreeze_tour(slot(2));
    if (c.frozen_before) {
      ASSERT_EQ(preset_tour_freeze_tour(slot(2)), 0);
    }
    ASSERT_TRUE(fake_ptz::fire_control(2, c.client));
    EXPECT_EQ(slot(2)->frozen, c.frozen_after);
    EXPECT_EQ(slot(2)->active, c.active_after);
    EXPECT_EQ(running_of(5), c.active_after ? "yes" : "no");
  }
  EXPECT_EQ(engines(), std::vector<int>{2});
}

} // namespace
