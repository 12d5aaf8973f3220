/* Parameter names, single reads and writes, and whole tour points, against a
 * real store file. */
#include <cstring>
#include <syslog.h>

#include "syslog_capture.h"
#include "temp_store.h"
#include "tour_confhub.h"

namespace {

using namespace temp_store;

constexpr const char *PARSE_FAILED = "Failed to parse parameter";
constexpr const char *SET_FAILED = "Failed to set parameter in confhub";

TourParam make_param(uint32_t type, int tour_id, int preset_id = 0,
                     const char *text = "") {
  TourParam param = {};
  param.type = static_cast<TourParamKind>(type);
  param.tour_id = tour_id;
  param.preset_id = preset_id;
  std::strcpy(param.str_value, text);
  return param;
}

class ConfhubTest : public TempStoreTest {
protected:
  void SetUp() override {
    TempStoreTest::SetUp();
    syslog_capture::clear();
  }
};

/* Tour kinds take point number -1: they must not look at it. */
TEST(ParamName, EveryKind) {
  const std::pair<uint32_t, const char *> cases[] = {
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
  };
  for (const auto &[type, expected] : cases) {
    SCOPED_TRACE(type);
    const bool point_kind = expected && std::strstr(expected, ".Tour.T");
    const TourParam param = make_param(type, 4, point_kind ? 2 : -1);
    char name[TOUR_PARAM_NAME_SIZE] = "untouched";
    EXPECT_EQ(get_param_name(&param, name), expected ? 0 : -1);
    if (expected) {
      EXPECT_STREQ(name, expected);
    }
  }
}

TEST_F(ConfhubTest, ScanRules) {
  const std::string long_word(300, 'w');
  struct {
    const char *what;
    TourParamKind type;
    std::optional<std::string> stored; /* nullopt: absent */
    int result;
    std::string text; /* text kinds */
    int32_t number;   /* integer kinds */
    int parse_failures;
  } const cases[] = {
      {"first word only", GUARD_NAME, "front gate", 0, "front", 0, 0},
      {"leading blanks skipped", GUARD_RUNNING, "  yes\n", 0, "yes", 0, 0},
      {"long word cut", GUARD_NAME, long_word + " tail", 0,
       long_word.substr(0, 255), 0, 0},
      {"empty text", GUARD_NAME, "", -1, "", 0, 1},
      {"blank text", GUARD_RANDOM_ENABLED, " \t ", -1, "", 0, 1},
      {"digits then letters", GUARD_CAM_NBR, "12abc", 0, "", 12, 0},
      {"sign and blanks", GUARD_TIME_BETWEEN_SEQUENCES, "  -7 min", 0, "", -7, 0},
      {"letter first", GUARD_CAM_NBR, "x12", -1, "", 0, 1},
      {"empty number", GUARD_TIME_BETWEEN_SEQUENCES, "", -1, "", 0, 1},
      {"absent is silent", GUARD_CAM_NBR, std::nullopt, -1, "", 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    syslog_capture::clear();
    TourParam param = make_param(c.type, 2);
    char name[TOUR_PARAM_NAME_SIZE];
    ASSERT_EQ(get_param_name(&param, name), 0);
    if (c.stored)
      put(name, *c.stored);
    else
      ASSERT_EQ(drop(tour(2)), 0);
    ASSERT_EQ(tour_confhub_get_parameter(&param), c.result);
    EXPECT_EQ(syslog_capture::count(LOG_ERR, PARSE_FAILED), c.parse_failures);
    EXPECT_EQ(syslog_capture::lines().size(), size_t(c.parse_failures));
    if (c.result != 0)
      continue;
    if (c.type <= GUARD_WAIT_TIME_VIEW_TYPE) {
      EXPECT_EQ(std::string(param.str_value), c.text);
    } else {
      EXPECT_EQ(param.int_value, c.number);
    }
  }
}

TEST_F(ConfhubTest, RefusedKindsAreLoggedAndNeverReachTheStore) {
  for (uint32_t type : {4u, 11u}) {
    SCOPED_TRACE(type);
    syslog_capture::clear();
    TourParam param = make_param(type, 1, 0, "x");
    EXPECT_EQ(tour_confhub_get_parameter(&param), -1);
    EXPECT_EQ(tour_confhub_set_parameter(&param), -1);
    EXPECT_EQ(syslog_capture::count(LOG_ERR,
                                    "Faild to fetch parameter query for type: " +
                                        std::to_string(type)),
              2);
  }
  EXPECT_EQ(calls("cli_resetOptions"), 0);
}

TEST_F(ConfhubTest, IntegerWriteLeavesItsDecimalText) {
  TourParam param = make_param(GUARD_CAM_NBR, 5, -1, "caller's text");
  param.int_value = -12;
  ASSERT_EQ(tour_confhub_set_parameter(&param), 0);
  EXPECT_STREQ(param.str_value, "-12");
  EXPECT_EQ(stored(tour(5, "CamNbr")), "-12");
}

/* Options reset, sync, write, sync: a failure before the write still lets it
 * be tried, a failed write is never followed by a sync. */
TEST_F(ConfhubTest, RunningWriteCallOrder) {
  struct {
    const char *failing; /* nullptr: all succeed */
    int result, syncs;
    const char *after;
  } const cases[] = {
      {nullptr, 0, 2, "yes"},
      {"cli_sync", -1, 1, nullptr},
      {"cli_setCustomParam", -1, 1, "no"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.failing ? c.failing : "none");
    put(tour(1, "Running"), "no");
    param_store_testing_reset();
    syslog_capture::clear();
    if (c.failing)
      param_store_testing_fail(c.failing, 1);
    TourParam param = make_param(GUARD_RUNNING, 1, -1, "yes");
    EXPECT_EQ(tour_confhub_set_parameter(&param), c.result);
    EXPECT_EQ(calls("cli_resetOptions"), 1);
    EXPECT_EQ(calls("cli_setCustomParam"), 1);
    EXPECT_EQ(calls("cli_sync"), c.syncs);
    EXPECT_EQ(syslog_capture::count(LOG_ERR, SET_FAILED), c.result ? 1 : 0);
    if (c.after) {
      EXPECT_EQ(stored(tour(1, "Running")), c.after);
    }
  }
}

TEST_F(ConfhubTest, FetchPointAppliesMinutesOnlyToExactlyMinutes) {
  const std::tuple<const char *, int32_t, int32_t> cases[] = {
      {"Minutes", 2, 120},          {"minutes", 2, 2},
      {"Seconds", 2, 2},            {"Minutes!", 2, 2},
      {"Minutes", INT32_MAX / 10, INT32_MAX}, /* saturates */
  };
  for (const auto &[view_type, wait, expected] : cases) {
    SCOPED_TRACE(view_type);
    put_point(3, 1, 11, 4, 70, wait, view_type);
    PresetPoint point = {-1, -1, -1, -1};
    ASSERT_EQ(tour_confhub_fetch_preset_point(3, 1, &point), 0);
    EXPECT_EQ(point.preset_nbr, 11);
    EXPECT_EQ(point.position, 4);
    EXPECT_EQ(point.move_speed, 70);
    EXPECT_EQ(point.wait_time, expected);
  }
}

TEST_F(ConfhubTest, FetchPointFailsOnAnyMissingOrUnreadableLeaf) {
  const std::pair<const char *, const char *> cases[] = {
      {"PresetNbr", nullptr}, {"MoveSpeed", nullptr},
      {"WaitTimeViewType", nullptr}, {"Position", "first"}};
  for (const auto &[bad_leaf, bad_value] : cases) {
    SCOPED_TRACE(bad_leaf);
    syslog_capture::clear();
    drop(tour(1));
    for (const char *leaf : {"PresetNbr", "Position", "MoveSpeed", "WaitTime",
                             "WaitTimeViewType"})
      if (std::strcmp(leaf, bad_leaf) != 0 || bad_value)
        put(tour(1, std::string("Tour.T0.") + leaf),
            std::strcmp(leaf, bad_leaf) == 0 ? bad_value : "1");
    PresetPoint point = {};
    EXPECT_EQ(tour_confhub_fetch_preset_point(1, 0, &point), -1);
    EXPECT_EQ(syslog_capture::count(LOG_ERR, PARSE_FAILED), bad_value ? 1 : 0);
  }
}

} // namespace
