/* Parameter names, single reads and writes, and whole tour points, against a
 * real store file. */
#include <cstring>
#include <string>
#include <syslog.h>
#include <thread>

#include <gtest/gtest.h>

#include "store_fixture.h"
#include "tour_confhub.h"
#include "tour_confhub_internal.h"

namespace {

using namespace store;

constexpr const char *PARSE_FAILED = "Failed to parse parameter";
constexpr const char *SET_FAILED = "Failed to set parameter in confhub";

TourParam make_param(uint32_t type, int tour_id, int preset_id = 0) {
  TourParam param = {};
  param.type = static_cast<TourParamKind>(type);
  param.tour_id = tour_id;
  param.preset_id = preset_id;
  return param;
}

std::string unknown_type_message(uint32_t type) {
  return "Faild to fetch parameter query for type: " + std::to_string(type);
}

/* ---- names ------------------------------------------------------------- */

struct NameCase {
  uint32_t type;
  const char *name; /* nullptr: refused */
};

TEST(ParamName, EveryKind) {
  constexpr NameCase cases[] = {
      {0, "root.RezazErar.G4.Running"},
      {1, "root.RezazErar.G4.Name"},
      {2, "root.RezazErar.G4.RandomEnabled"},
      {3, "root.RezazErar.G4.Tour.T2.WaitTimeViewType"},
      {4, nullptr},
      {5, "root.RezazErar.G4.CamNbr"},
      {6, "root.RezazErar.G4.TimeBetweenSequences"},
      {7, "root.RezazErar.G4.Tour.T2.PresetNbr"},
      {8, "root.RezazErar.G4.Tour.T2.Position"},
      {9, "root.RezazErar.G4.Tour.T2.MoveSpeed"},
      {10, "root.RezazErar.G4.Tour.T2.WaitTime"},
      {11, nullptr},
      {0xffffffffu, nullptr},
  };
  for (const NameCase &c : cases) {
    SCOPED_TRACE(c.type);
    const TourParam param = make_param(c.type, 4, 2);
    char name[TOUR_PARAM_NAME_SIZE] = "untouched";
    if (c.name == nullptr) {
      EXPECT_EQ(get_param_name(&param, name), -1);
    } else {
      ASSERT_EQ(get_param_name(&param, name), 0);
      EXPECT_STREQ(name, c.name);
    }
  }
}

TEST(ParamName, NameThatDoesNotFitIsRefusedNotCut) {
  char buffer[8];
  EXPECT_EQ(tour_confhub_format_name(buffer, sizeof buffer, "G%d.%s", 1,
                                     "Running"),
            -1);
  EXPECT_EQ(tour_confhub_format_name(buffer, sizeof buffer, "G%d.%s", 1, "Name"),
            0);
  EXPECT_STREQ(buffer, "G1.Name");
}

TEST(ParamNameDeath, PointKindWithNegativePointNumber) {
  const TourParam param = make_param(GUARD_PRESET_NBR, 1, -1);
  char name[TOUR_PARAM_NAME_SIZE];
  EXPECT_DEATH(get_param_name(&param, name), "tour_param->preset_id >= 0");
}

TEST(ParamNameDeath, NegativeTourNumber) {
  TourParam param = make_param(GUARD_CAM_NBR, -1);
  EXPECT_DEATH(tour_confhub_get_parameter(&param), "tour_param->tour_id >= 0");
}

/* ---- reading ----------------------------------------------------------- */

using GetParameter = StoreTest;

struct ScanCase {
  const char *what;
  TourParamKind type;
  std::string stored;
  int result;
  std::string text; /* text kinds */
  int32_t number;   /* integer kinds */
};

TEST_F(GetParameter, ScanRules) {
  const std::string long_word(300, 'w');
  const ScanCase cases[] = {
      {"first word only", GUARD_NAME, "front gate", 0, "front", 0},
      {"leading blanks skipped", GUARD_RUNNING, "  yes\n", 0, "yes", 0},
      {"long word cut", GUARD_NAME, long_word + " tail", 0,
       long_word.substr(0, 255), 0},
      {"empty text", GUARD_NAME, "", -1, "", 0},
      {"blank text", GUARD_RANDOM_ENABLED, " \t ", -1, "", 0},
      {"plain number", GUARD_CAM_NBR, "3", 0, "", 3},
      {"digits then letters", GUARD_CAM_NBR, "12abc", 0, "", 12},
      {"sign and blanks", GUARD_TIME_BETWEEN_SEQUENCES, "  -7 min", 0, "", -7},
      {"letter first", GUARD_CAM_NBR, "x12", -1, "", 0},
      {"empty number", GUARD_TIME_BETWEEN_SEQUENCES, "", -1, "", 0},
  };
  for (const ScanCase &c : cases) {
    SCOPED_TRACE(c.what);
    syslog_capture::clear();
    TourParam param = make_param(c.type, 2);
    char name[TOUR_PARAM_NAME_SIZE];
    ASSERT_EQ(get_param_name(&param, name), 0);
    put(name, c.stored);

    ASSERT_EQ(tour_confhub_get_parameter(&param), c.result);
    EXPECT_EQ(syslog_capture::count(LOG_ERR, PARSE_FAILED),
              c.result == 0 ? 0 : 1);
    if (c.result != 0)
      continue;
    if (c.type <= GUARD_WAIT_TIME_VIEW_TYPE)
      EXPECT_EQ(std::string(param.str_value), c.text);
    else
      EXPECT_EQ(param.int_value, c.number);
  }
}

TEST_F(GetParameter, TourKindReadWithNegativePointNumber) {
  put("root.RezazErar.G0.CamNbr", "4");
  TourParam param = make_param(GUARD_CAM_NBR, 0, -3);
  ASSERT_EQ(tour_confhub_get_parameter(&param), 0);
  EXPECT_EQ(param.int_value, 4);
}

TEST_F(GetParameter, RefusedKindsNeverReachTheStore) {
  for (uint32_t type : {4u, 11u}) {
    SCOPED_TRACE(type);
    syslog_capture::clear();
    TourParam param = make_param(type, 1);
    EXPECT_EQ(tour_confhub_get_parameter(&param), -1);
    EXPECT_EQ(syslog_capture::count(LOG_ERR, unknown_type_message(type)), 1);
  }
  EXPECT_EQ(calls("cli_resetOptions"), 0);
  EXPECT_EQ(calls("cli_sync"), 0);
  EXPECT_EQ(calls("cli_getCustomParam"), 0);
}

TEST_F(GetParameter, StoreRefusalIsSilent) {
  put("root.RezazErar.G1.CamNbr", "2");
  seeded();
  struct {
    const char *what;
    const char *failing; /* nullptr: the parameter is simply absent */
    int tour;
  } const cases[] = {
      {"absent", nullptr, 9},
      {"read fails", "cli_getCustomParam", 1},
      {"sync fails", "cli_sync", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    param_store_testing_reset();
    if (c.failing)
      param_store_testing_fail(c.failing, 1);
    TourParam param = make_param(GUARD_CAM_NBR, c.tour);
    EXPECT_EQ(tour_confhub_get_parameter(&param), -1);
    EXPECT_EQ(calls("cli_resetOptions"), 1);
    EXPECT_EQ(calls("cli_sync"), 1);
    EXPECT_EQ(calls("cli_getCustomParam"), 1);
  }
  EXPECT_TRUE(syslog_capture::lines().empty());
}

/* ---- writing ----------------------------------------------------------- */

using SetParameter = StoreTest;

TEST_F(SetParameter, IntegerWriteLeavesItsDecimalText) {
  for (int32_t value : {3, -12, INT32_MIN}) {
    SCOPED_TRACE(value);
    TourParam param = make_param(GUARD_CAM_NBR, 5, -1);
    std::strcpy(param.str_value, "caller's text");
    param.int_value = value;
    ASSERT_EQ(tour_confhub_set_parameter(&param), 0);
    EXPECT_EQ(std::string(param.str_value), std::to_string(value));
    EXPECT_EQ(stored("root.RezazErar.G5.CamNbr"), std::to_string(value));
  }
}

TEST_F(SetParameter, RunningWriteSynchronisesAroundTheWrite) {
  TourParam param = make_param(GUARD_RUNNING, 1, -1);
  std::strcpy(param.str_value, "yes");
  ASSERT_EQ(tour_confhub_set_parameter(&param), 0);
  EXPECT_EQ(calls("cli_resetOptions"), 1);
  EXPECT_EQ(calls("cli_sync"), 2);
  EXPECT_EQ(calls("cli_setCustomParam"), 1);
  EXPECT_EQ(stored("root.RezazErar.G1.Running"), "yes");

  TourParam back = make_param(GUARD_RUNNING, 1);
  ASSERT_EQ(tour_confhub_get_parameter(&back), 0);
  EXPECT_STREQ(back.str_value, "yes");
}

TEST_F(SetParameter, RefusedKindsNeverReachTheStore) {
  for (uint32_t type : {4u, 11u}) {
    SCOPED_TRACE(type);
    TourParam param = make_param(type, 1);
    std::strcpy(param.str_value, "x");
    EXPECT_EQ(tour_confhub_set_parameter(&param), -1);
    EXPECT_EQ(syslog_capture::count(LOG_ERR, unknown_type_message(type)), 1);
  }
  EXPECT_EQ(calls("cli_resetOptions"), 0);
  EXPECT_EQ(calls("cli_setCustomParam"), 0);
}

TEST_F(SetParameter, FailedWriteIsLoggedAndNotSynchronised) {
  for (const char *failing : {"cli_setCustomParam", "cli_sync"}) {
    SCOPED_TRACE(failing);
    param_store_testing_reset();
    syslog_capture::clear();
    param_store_testing_fail(failing, 1);
    TourParam param = make_param(GUARD_RUNNING, 1);
    std::strcpy(param.str_value, "no");
    EXPECT_EQ(tour_confhub_set_parameter(&param), -1);
    EXPECT_EQ(syslog_capture::count(LOG_ERR, SET_FAILED), 1);
    EXPECT_EQ(syslog_capture::lines().size(), 1u);
    EXPECT_EQ(calls("cli_setCustomParam"), 1);
    EXPECT_EQ(calls("cli_sync"), 1);
  }
}

/* The Running writer thread and the main thread use the module at once. */
TEST_F(SetParameter, TwoThreadsAtOnce) {
  constexpr int ROUNDS = 40;
  put(tour(1) + ".CamNbr", "1");
  put(tour(2) + ".CamNbr", "2");
  auto writer = [](int tour_id, const char *text, int *failures) {
    for (int i = 0; i < ROUNDS; ++i) {
      TourParam param = make_param(GUARD_RUNNING, tour_id);
      std::strcpy(param.str_value, text);
      TourParam camera = make_param(GUARD_CAM_NBR, tour_id);
      *failures += tour_confhub_set_parameter(&param) != 0;
      *failures += tour_confhub_get_parameter(&camera) != 0 ||
                   camera.int_value != tour_id;
    }
  };
  int failures_1 = 0;
  int failures_2 = 0;
  std::thread other(writer, 1, "yes", &failures_1);
  writer(2, "no", &failures_2);
  other.join();
  EXPECT_EQ(failures_1, 0);
  EXPECT_EQ(failures_2, 0);
  EXPECT_EQ(stored(tour(1) + ".Running"), "yes");
  EXPECT_EQ(stored(tour(2) + ".Running"), "no");
}

/* ---- whole points ------------------------------------------------------ */

using FetchPresetPoint = StoreTest;

TEST_F(FetchPresetPoint, WaitTimeUnit) {
  struct {
    const char *view_type;
    int32_t wait_time;
  } const cases[] = {
      {"Minutes", 120}, {"minutes", 2}, {"Seconds", 2}, {"Minutes!", 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.view_type);
    put_point(3, 1, 11, 4, 70, 2, c.view_type);
    PresetPoint point = {-1, -1, -1, -1};
    ASSERT_EQ(tour_confhub_fetch_preset_point(3, 1, &point), 0);
    EXPECT_EQ(point.preset_nbr, 11);
    EXPECT_EQ(point.position, 4);
    EXPECT_EQ(point.move_speed, 70);
    EXPECT_EQ(point.wait_time, c.wait_time);
  }
}

TEST_F(FetchPresetPoint, HugeMinuteCountSaturates) {
  put_point(0, 0, 1, 1, 1, INT32_MAX / 10, "Minutes");
  PresetPoint point = {};
  ASSERT_EQ(tour_confhub_fetch_preset_point(0, 0, &point), 0);
  EXPECT_EQ(point.wait_time, INT32_MAX);
}

TEST_F(FetchPresetPoint, FirstFailedReadEndsTheFetch) {
  struct {
    const char *missing;
    PresetPoint expected; /* -1: untouched */
  } const cases[] = {
      {"PresetNbr", {-1, -1, -1, -1}},
      {"MoveSpeed", {11, 4, -1, -1}},
      {"WaitTimeViewType", {11, 4, 70, 2}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.missing);
    /* Each case builds the point afresh, without one leaf. */
    remove(tour(3));
    const std::string base = point(3, 1) + ".";
    const std::pair<const char *, const char *> leaves[] = {
        {"PresetNbr", "11"}, {"Position", "4"}, {"MoveSpeed", "70"},
        {"WaitTime", "2"}, {"WaitTimeViewType", "Minutes"}};
    for (const auto &[leaf, value] : leaves)
      if (std::strcmp(leaf, c.missing) != 0)
        put(base + leaf, value);

    PresetPoint point = {-1, -1, -1, -1};
    EXPECT_EQ(tour_confhub_fetch_preset_point(3, 1, &point), -1);
    EXPECT_EQ(point.preset_nbr, c.expected.preset_nbr);
    EXPECT_EQ(point.position, c.expected.position);
    EXPECT_EQ(point.move_speed, c.expected.move_speed);
    EXPECT_EQ(point.wait_time, c.expected.wait_time);
  }
  EXPECT_TRUE(syslog_capture::lines().empty());
}

TEST_F(FetchPresetPoint, UnreadableIntegerIsAParseFailure) {
  put_point(1, 0, 1, 2, 3, 4, "Seconds");
  put("root.RezazErar.G1.Tour.T0.Position", "first");
  PresetPoint point = {-1, -1, -1, -1};
  EXPECT_EQ(tour_confhub_fetch_preset_point(1, 0, &point), -1);
  EXPECT_EQ(point.preset_nbr, 1);
  EXPECT_EQ(point.position, -1);
  EXPECT_EQ(syslog_capture::count(LOG_ERR, PARSE_FAILED), 1);
}

} // namespace
