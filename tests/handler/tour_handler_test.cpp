/* The tour handler over a fresh store, the fake PTZ platform and a private
 * bus: blocking, the processing rules, driver removal, start-up recovery,
 * control events and shutdown. */
#include <map>
#include <syslog.h>

#include "handler_fixture.h"

using namespace handler_test;

static auto *const bus_env = ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);

namespace {

/* The store side names a group "G<n>"; any other text means tour 0, and a
 * number too large for a tour id means no tour at all. */
TEST_F(HandlerTest, SetPresetTourRunningPlaysOrStopsTheNamedGroup) {
  const std::tuple<const char *, const char *, int, int> cases[] = {
      {"yes", "G12", 1, 12},         {"no", "G12", 1, -1},           {"yes", "12", 2, 0},
      {"YES", "G7", 3, -2},          {"yes", "G7.Tour", 3, 7},       {"no", "X3", 2, -1},
      {"yes", "G4294967299", 4, -2}, {"yes", "G-4294967293", 4, -2},
  };
  put_tours({{12, "1"}, {0, "2"}, {7, "3"}, {3, "4"}});
  start_handler();
  for (const auto &[running, confhub_id, camera, tour_id] : cases) {
    SCOPED_TRACE(testing::Message() << running << " " << confhub_id);
    g_autoptr(GError) error = nullptr;
    EXPECT_TRUE(tour_handler_set_preset_tour_running(handler_, running, confhub_id, &error));
    EXPECT_EQ(error, nullptr);
    settle();
    EXPECT_EQ(held(camera), tour_id);
  }
}

TEST_F(HandlerTest, BlockAndUnblockAcceptOnlyCamerasOneToEight) {
  start_handler();
  for (Request op : {Request(tour_handler_block_playback), Request(tour_handler_unblock_playback)})
    for (int32_t cam : {0, 9, -1, 1, 8}) {
      SCOPED_TRACE(cam);
      syslog_capture::clear();
      const bool accepted = cam >= 1 && cam <= 8;
      g_autoptr(GError) error = nullptr;
      EXPECT_EQ(op(handler_, cam, &error), accepted);
      EXPECT_EQ(syslog_capture::count(LOG_ERR, "Image source id out of range"), accepted ? 0 : 1);
      EXPECT_EQ(g_error_matches(error, TOUR_HANDLER_ERROR, TOUR_HANDLER_ERROR_OUT_OF_RANGE),
                !accepted);
    }
}

/* Blocking stops at once and refuses plays silently; one tour per camera. */
TEST_F(HandlerTest, BlockingAndReplacingTheTourOfACamera) {
  put_tours({{1, "2"}, {2, "2"}});
  start_handler();
  play(1);
  play(2);
  EXPECT_EQ(held(2), 2);
  EXPECT_EQ(running_of(1), "no");
  ASSERT_TRUE(tour_handler_block_playback(handler_, 2, nullptr));
  EXPECT_EQ(held(2), -1); /* no processing run in between */
  EXPECT_EQ(running_of(2), "no");
  syslog_capture::clear();
  put(tour(1, "Running"), "yes"); /* else a restart would resume it */
  play(1);
  EXPECT_EQ(held(2), -1);
  EXPECT_EQ(running_of(1), "no");
  EXPECT_TRUE(syslog_capture::lines().empty());
  EXPECT_TRUE(tour_handler_unblock_playback(handler_, 2, nullptr));
  play(1);
  EXPECT_EQ(held(2), 1);
  EXPECT_EQ(running_of(1), "yes");
}

/* A play of a tour some engine holds does nothing, nor resumes it; pause and
 * resume act only on the tour that the camera's engine holds. */
TEST_F(HandlerTest, RequestsForTheHeldTour) {
  put_tours({{1, "7"}, {2, "7"}});
  start_handler();
  play(1);
  const std::tuple<Request, int, int> steps[] = {
      {tour_handler_pause_preset_tour, 2, 0},  {tour_handler_pause_preset_tour, 1, 1},
      {tour_handler_play_preset_tour, 1, 1},   {tour_handler_resume_preset_tour, 2, 1},
      {tour_handler_resume_preset_tour, 1, 0},
  };
  for (const auto &[op, tour_id, paused] : steps) {
    request(op, tour_id);
    EXPECT_EQ(engine(7).paused, paused);
    EXPECT_EQ(held(7), 1);
  }
  ASSERT_EQ(preset_tour_freeze_tour(slot(7)), 0);
  const int writes = calls("cli_setCustomParam");
  play(1);
  EXPECT_TRUE(engine(7).held);
  EXPECT_EQ(calls("cli_setCustomParam"), writes);
}

/* No camera moves for a tour whose CamNbr is not exactly an integer 1..8. */
TEST_F(HandlerTest, UnplayableTourIsRefusedLoggedAndMarkedNotRunning) {
  const std::tuple<const char *, const char *, bool> cases[] = {
      {nullptr, "Failed to fetch camera_id", true},
      {"abc", "Failed to fetch camera_id", true},
      {"-5", "Failed to fetch camera_id", true},
      {"0", "Camera id 0 of tour 3 out of range", true},
      {"9", "Camera id 9 of tour 3 out of range", true},
      {"2", "Failed to play tour", false}, /* a camera, but the tour does not load */
  };
  start_handler();
  for (const auto &[cam, log, loadable] : cases) {
    SCOPED_TRACE(cam ? cam : "(missing)");
    drop(tour(3));
    put_tour(3, {.cam = cam, .running = "yes", .random = loadable ? "no" : nullptr});
    syslog_capture::clear();
    play(3);
    request(tour_handler_pause_preset_tour, 3);
    request(tour_handler_resume_preset_tour, 3);
    EXPECT_EQ(running_of(3), "no");
    EXPECT_EQ(syslog_capture::count(LOG_WARNING, log), loadable ? 3 : 1);
    EXPECT_EQ(engines(), loadable ? std::vector<int>{} : std::vector<int>{2});
  }
}

/* A stop reads the camera again; unreadable or out of range, it stops the
 * engine holding the tour. Negative tour ids are dropped unread. */
TEST_F(HandlerTest, StopFollowsTheTourCamera) {
  const std::pair<const char *, bool> cases[] = {
      {"3", true}, {"abc", true}, {"-5", true}, {"4", false}, {"9", true}};
  put_tours({{5, "3"}, {6, "4"}});
  start_handler();
  play(6); /* a stop of tour 5 never reaches it */
  for (const auto &[cam_at_stop, stops] : cases) {
    SCOPED_TRACE(cam_at_stop);
    put(tour(5, "CamNbr"), "3");
    play(5);
    ASSERT_EQ(held(3), 5);
    put(tour(5, "CamNbr"), cam_at_stop);
    request(tour_handler_stop_preset_tour, 5);
    EXPECT_EQ(held(3), stops ? -1 : 5);
    EXPECT_EQ(running_of(5), stops ? "no" : "yes");
    EXPECT_EQ(held(4), 6);
  }
  param_store_testing_reset();
  for (Request op : {tour_handler_play_preset_tour, tour_handler_stop_preset_tour,
                     tour_handler_pause_preset_tour, tour_handler_resume_preset_tour})
    request(op, -1);
  EXPECT_EQ(syslog_capture::count(LOG_WARNING, "Ignoring request for invalid tour id -1"), 4);
  EXPECT_EQ(calls("cli_getCustomParam") + calls("cli_setCustomParam"), 0);
}

TEST_F(HandlerTest, DriverUninstalledStopsAndDeletesTheCameraTours) {
  put_tours({{1, "2"}, {2, "3"}, {3, "2"}, {4, "abc"}});
  start_handler();
  play(1);
  ASSERT_TRUE(tour_handler_driver_uninstalled(handler_, 2));
  settle();
  /* The stop's Running "no" must not bring the deleted group back as a lone
   * Running parameter. */
  preset_tour_flush_running_writes();
  EXPECT_EQ(held(2), -1);
  EXPECT_EQ(children("root.RezazErar"), (Names{"G2", "G4"}));

  /* A bogus camera id deletes nothing, even tours with that very CamNbr. */
  put_tours({{5, "0"}, {6, "9"}});
  param_store_testing_reset();
  for (int32_t cam : {0, 9, -3}) {
    ASSERT_TRUE(tour_handler_driver_uninstalled(handler_, cam));
    settle();
    EXPECT_EQ(syslog_capture::count(LOG_WARNING, "Ignoring driver uninstall of camera id " +
                                                     std::to_string(cam)),
              1);
  }
  EXPECT_EQ(calls("cli_deleteGroup"), 0);
}

TEST_F(HandlerTest, StartUpResumesOneRunningTourPerCamera) {
  struct {
    const char *name;
    std::vector<std::tuple<int, const char *, const char *>> tours; /* id, CamNbr, Running */
    std::map<int, int> resumed;                                     /* camera -> tour */
    std::map<int, std::string> running;                             /* tour -> Running after */
  } const cases[] = {
      {"one", {{1, "3", "yes"}, {2, "3", "no"}}, {{3, 1}}, {{1, "yes"}, {2, "no"}}},
      {"conflicts",
       {{1, "2", "yes"}, {2, "4", "yes"}, {3, "2", "yes"}, {4, "2", "yes"}},
       {{4, 2}},
       {{1, "no"}, {2, "yes"}, {3, "no"}, {4, "no"}}},
      {"two cameras", {{1, "8", "yes"}, {2, "1", "yes"}}, {{8, 1}, {1, 2}}, {}},
      {"not exactly yes", {{1, "1", "Yes"}}, {}, {{1, "Yes"}}},
      {"camera unusable",
       {{1, nullptr, "yes"}, {2, "0", "yes"}, {3, "9", "yes"}, {4, "4294967297", "yes"}},
       {},
       {{1, "yes"}, {2, "yes"}, {3, "yes"}, {4, "yes"}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto &[tour_id, cam, running] : c.tours)
      put_tour(tour_id, {.cam = cam, .running = running});
    start_handler();
    std::map<int, int> resumed;
    for (int cam : engines())
      if (engine(cam).active)
        resumed[cam] = held(cam);
    EXPECT_EQ(resumed, c.resumed);
    for (const auto &[tour_id, running] : c.running)
      EXPECT_EQ(running_of(tour_id), running) << "tour " << tour_id;
    stop_handler();
    drop("root.RezazErar");
  }
}

TEST_F(HandlerTest, ControlEventsDecideTheTourOfTheirCamera) {
  const std::tuple<const char *, bool, int32_t, int32_t> cases[] = {
      /* client (nullptr: none given), frozen before, frozen and active after */
      {PATROLD_CLIENT_NAME, true, 0, 1},
      {RECORDED_TOUR_CLIENT_NAME, false, 0, 0},
      {"", false, 0, 1},
      {"", true, 1, 1},
      {"operator", false, 1, 1},
      {"rezazerar", false, 1, 1},
      {nullptr, false, 1, 1},
  };
  put_tours({{5, "2"}});
  start_handler();
  for (int cam : {0, 9, -1, 3}) /* out of range, or no engine */
    for (const char *client : {PATROLD_CLIENT_NAME, RECORDED_TOUR_CLIENT_NAME, "operator"})
      ASSERT_TRUE(fake_ptz::fire_control(cam, client));
  EXPECT_TRUE(engines().empty());
  for (const auto &[client, frozen_before, frozen_after, active_after] : cases) {
    SCOPED_TRACE(testing::Message() << client << " frozen " << frozen_before);
    play(5);
    ASSERT_EQ(held(2), 5);
    preset_tour_unfreeze_tour(slot(2));
    if (frozen_before) {
      ASSERT_EQ(preset_tour_freeze_tour(slot(2)), 0);
    }
    ASSERT_TRUE(fake_ptz::fire_control(2, client));
    EXPECT_EQ(engine(2).held, frozen_after);
    EXPECT_EQ(engine(2).active, active_after);
    EXPECT_EQ(running_of(5), active_after ? "yes" : "no");
  }
}

/* Once the handler is released, the store says what it last did. */
TEST_F(HandlerTest, ReleaseWaitsForTheRunningWritesOfTheLastStops) {
  const std::string cams = "12345678";
  for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
    put_tour(cam, {.cam = cams.substr(size_t(cam - 1), 1).c_str()});
  start_handler();
  for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
    play(cam);
  preset_tour_flush_running_writes();
  for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
    ASSERT_TRUE(tour_handler_block_playback(handler_, cam, nullptr));
  stop_handler([] {
    for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
      EXPECT_EQ(stored(tour(cam, "Running")), "no") << "tour " << cam;
  });
}

} // namespace
