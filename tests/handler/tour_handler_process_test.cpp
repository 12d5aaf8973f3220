#include <syslog.h>

#include "handler_fixture.h"

using namespace handler_test;

namespace {

using ProcessTest = HandlerTest;

TEST_F(ProcessTest, PlayOfAHeldTourDoesNothing) {
  seed_tour(1, "1");
  start_handler();
  play(1);
  ASSERT_EQ(running_of(1), "yes");
  for (auto hold : {+[](PresetTour *) {},
                    +[](PresetTour *t) { preset_tour_pause_tour(t); },
                    +[](PresetTour *t) { preset_tour_freeze_tour(t); }}) {
    hold(slot(1));
    syslog_capture::clear();
    int writes = param_store_testing_calls("cli_setCustomParam");
    play(1);
    preset_tour_flush_running_writes();
    EXPECT_EQ(held(1), 1);
    EXPECT_EQ(param_store_testing_calls("cli_setCustomParam"), writes);
    EXPECT_TRUE(syslog_capture::lines().empty());
  }
  EXPECT_EQ(slot(1)->paused, 1); /* a play does not resume */
}

struct BadCameraCase {
  const char *cam; /* nullptr: CamNbr missing */
  const char *log;
};

class BadCameraTest : public HandlerTest,
                      public ::testing::WithParamInterface<BadCameraCase> {};

TEST_P(BadCameraTest, PlayIsRefusedAndMarkedNotRunning) {
  const BadCameraCase &c = GetParam();
  seed_tour(3, c.cam);
  start_handler();
  put(tour_param(3, "Running"), "yes");
  play(3);
  EXPECT_EQ(running_of(3), "no");
  EXPECT_EQ(syslog_capture::count(LOG_WARNING, c.log), 1);
  for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
    EXPECT_EQ(slot(cam), nullptr) << cam;
}

TEST_P(BadCameraTest, PauseAndResumeDoNothing) {
  const BadCameraCase &c = GetParam();
  seed_tour(3, c.cam, "yes");
  start_handler();
  ASSERT_TRUE(tour_handler_pause_preset_tour(handler_, 3, nullptr));
  ASSERT_TRUE(tour_handler_resume_preset_tour(handler_, 3, nullptr));
  process();
  EXPECT_EQ(syslog_capture::count(LOG_WARNING, c.log), 2);
  EXPECT_EQ(running_of(3), "yes");
  for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
    EXPECT_EQ(slot(cam), nullptr) << cam;
}

INSTANTIATE_TEST_SUITE_P(
    CamNbr, BadCameraTest,
    ::testing::Values(BadCameraCase{nullptr, "Failed to fetch camera_id"},
                      BadCameraCase{"abc", "Failed to fetch camera_id"},
                      BadCameraCase{"", "Failed to fetch camera_id"},
                      BadCameraCase{"-5", "Failed to fetch camera_id"},
                      BadCameraCase{"0", "Camera id 0 of tour 3 out of range"},
                      BadCameraCase{"9", "Camera id 9 of tour 3 out of range"}));

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

TEST_F(ProcessTest, FailedPlayIsLoggedAndMarkedNotRunning) {
  seed_tour(4, "2");
  start_handler();
  put(tour_param(4, "Running"), "yes");
  put(tour_param(4, "TimeBetweenSequences"), "soon"); /* cannot load */
  play(4);
  EXPECT_EQ(syslog_capture::count(LOG_WARNING, "Failed to play tour"), 1);
  EXPECT_EQ(held(2), -1);
  EXPECT_EQ(running_of(4), "no");
}

struct StopCase {
  const char *name;
  const char *cam_after_play; /* CamNbr when the stop is processed */
  bool stops;
  const char *log; /* nullptr: nothing logged */
};

class StopTest : public HandlerTest,
                 public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopTest, StopFollowsTheTourCamera) {
  const StopCase &c = GetParam();
  seed_tour(5, "3");
  start_handler();
  play(5);
  ASSERT_EQ(held(3), 5);
  put(tour_param(5, "CamNbr"), c.cam_after_play);
  syslog_capture::clear();
  ASSERT_TRUE(tour_handler_stop_preset_tour(handler_, 5, nullptr));
  process();
  EXPECT_EQ(held(3), c.stops ? -1 : 5);
  EXPECT_EQ(running_of(5), c.stops ? "no" : "yes");
  if (c.log) {
    EXPECT_EQ(syslog_capture::count(LOG_WARNING, c.log), 1);
  }
  EXPECT_EQ(syslog_capture::count("Failed to fetch camera_id"), 0);
  EXPECT_EQ(syslog_capture::count("Failed to stop playing tour"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, StopTest,
    ::testing::Values(StopCase{"SameCamera", "3", true, nullptr},
                      StopCase{"Unreadable", "abc", true, nullptr},
                      StopCase{"Negative", "-5", true, nullptr},
                      StopCase{"OtherCamera", "4", false, nullptr},
                      StopCase{"OutOfRange", "9", true,
                               "Camera id 9 of tour 5 out of range"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ProcessTest, StopOfATourNobodyHoldsDoesNothing) {
  seed_tour(2, "1");
  start_handler();
  put(tour_param(2, "Running"), "yes");
  ASSERT_TRUE(tour_handler_stop_preset_tour(handler_, 2, nullptr));
  process();
  EXPECT_EQ(running_of(2), "yes");
  EXPECT_EQ(slot(1), nullptr);
  EXPECT_TRUE(syslog_capture::lines().empty());
}

TEST_F(ProcessTest, PauseAndResumeActOnlyOnTheHeldTour) {
  seed_tour(1, "7");
  seed_tour(2, "7");
  start_handler();

  /* Not held: the camera's engine is created all the same. */
  ASSERT_TRUE(tour_handler_pause_preset_tour(handler_, 1, nullptr));
  process();
  ASSERT_NE(slot(7), nullptr);
  EXPECT_EQ(held(7), -1);
  EXPECT_EQ(slot(7)->paused, 0);

  play(1);
  ASSERT_TRUE(tour_handler_pause_preset_tour(handler_, 2, nullptr));
  process();
  EXPECT_EQ(slot(7)->paused, 0);
  ASSERT_TRUE(tour_handler_pause_preset_tour(handler_, 1, nullptr));
  process();
  EXPECT_EQ(slot(7)->paused, 1);
  EXPECT_EQ(slot(7)->active, 1);
  ASSERT_TRUE(tour_handler_resume_preset_tour(handler_, 2, nullptr));
  process();
  EXPECT_EQ(slot(7)->paused, 1);
  ASSERT_TRUE(tour_handler_resume_preset_tour(handler_, 1, nullptr));
  process();
  EXPECT_EQ(slot(7)->paused, 0);
  EXPECT_EQ(held(7), 1);
  EXPECT_EQ(syslog_capture::count("Failed to pause tour"), 0);
  EXPECT_EQ(syslog_capture::count("Failed to resume playing tour"), 0);
}

TEST_F(ProcessTest, DriverUninstalledStopsAndDeletesTheCameraTours) {
  seed_tour(1, "2");
  seed_tour(2, "3");
  seed_tour(3, "2");
  seed_tour(4, "abc");
  start_handler();
  play(1);
  ASSERT_EQ(held(2), 1);
  ASSERT_TRUE(tour_handler_driver_uninstalled(handler_, 2));
  process();
  EXPECT_EQ(held(2), -1);
  EXPECT_FALSE(group_exists(1));
  EXPECT_TRUE(group_exists(2));
  EXPECT_FALSE(group_exists(3));
  EXPECT_TRUE(group_exists(4));
  EXPECT_EQ(handler_->playback_blocked[1], 0);
}

TEST_F(ProcessTest, DriverUninstalledOfAnIdleCameraOnlyDeletes) {
  seed_tour(1, "5");
  seed_tour(2, "6");
  start_handler();
  play(2);
  ASSERT_TRUE(tour_handler_driver_uninstalled(handler_, 5));
  process();
  EXPECT_FALSE(group_exists(1));
  EXPECT_EQ(held(6), 2);
  EXPECT_EQ(slot(5), nullptr);
}

/* A bogus camera id from the coordinator deletes nothing, even where the
 * store holds tours with that very CamNbr. */
TEST_F(ProcessTest, DriverUninstalledOutOfRangeIsIgnored) {
  seed_tour(1, "0");
  seed_tour(2, "9");
  seed_tour(3, "-3");
  start_handler();
  for (int32_t cam : {0, 9, -3}) {
    syslog_capture::clear();
    ASSERT_TRUE(tour_handler_driver_uninstalled(handler_, cam));
    process();
    EXPECT_EQ(syslog_capture::count(
                  LOG_WARNING,
                  "Ignoring driver uninstall of camera id " + std::to_string(cam)),
              1);
  }
  EXPECT_TRUE(group_exists(1));
  EXPECT_TRUE(group_exists(2));
  EXPECT_TRUE(group_exists(3));
  EXPECT_EQ(param_store_testing_calls("cli_deleteGroup"), 0);
}

TEST_F(ProcessTest, UnknownKindsAreReported) {
  start_handler();
  for (int32_t kind : {5, 42, -1}) {
    auto *action = g_new0(TourAction, 1);
    action->kind = kind;
    tour_handler_push_action(handler_, action);
  }
  process();
  for (int32_t kind : {5, 42, -1})
    EXPECT_EQ(syslog_capture::count(LOG_ERR, "Errorious preset action: " +
                                                 std::to_string(kind)),
              1);
}

/* Negative tour ids never reach the store, even while an engine without a
 * tour (tour_id -1) sits in a slot. */
TEST_F(ProcessTest, NegativeTourIdsAreDropped) {
  seed_tour(1, "1");
  start_handler();
  ASSERT_TRUE(tour_handler_pause_preset_tour(handler_, 1, nullptr));
  process();
  ASSERT_EQ(held(1), -1);
  syslog_capture::clear();
  param_store_testing_reset();

  using Op = gboolean (*)(TourHandler *, int32_t, GError **);
  for (Op op : {Op(tour_handler_play_preset_tour), Op(tour_handler_stop_preset_tour),
                Op(tour_handler_pause_preset_tour),
                Op(tour_handler_resume_preset_tour)})
    ASSERT_TRUE(op(handler_, -1, nullptr));
  process();
  preset_tour_flush_running_writes();
  EXPECT_EQ(syslog_capture::count(LOG_WARNING,
                                  "Ignoring request for invalid tour id -1"),
            4);
  EXPECT_EQ(param_store_testing_calls("cli_getCustomParam"), 0);
  EXPECT_EQ(param_store_testing_calls("cli_setCustomParam"), 0);
  EXPECT_EQ(held(1), -1);
}

} // namespace
