/* Guard tour parameters against a real store file: each leaf read at its
 * literal name, tour points and the tour listing. */
#include <climits>
#include <functional>
#include <syslog.h>

#include "syslog_capture.h"
#include "temp_store.h"
#include "tour_confhub.h"

namespace {

using namespace temp_store;
using Ids = std::vector<int32_t>;

constexpr const char *PARSE_FAILED = "Failed to parse parameter";

class ParamsTest : public TempStoreTest {
protected:
  void SetUp() override {
    TempStoreTest::SetUp();
    syslog_capture::clear();
  }
};

/* Texts keep their first word (at most 255 bytes); integers read as "%d"
 * does, except that a number too large for 32 bits is unreadable; what has
 * not ended in a value's first 256 bytes is unreadable. */
TEST_F(ParamsTest, ReadsEachLeafAtItsName) {
  const std::string long_word(300, 'w');
  struct {
    TourParamKind type;
    const char *name;
    std::optional<std::string> stored; /* nullopt: absent, which logs nothing */
    std::optional<std::string> text;   /* nullopt: the read fails */
    int32_t number = 0;
  } const cases[] = {
      {GUARD_RUNNING, "root.RezazErar.G4.Running", "  yes\n", "yes"},
      {GUARD_NAME, "root.RezazErar.G4.Name", "front gate", "front"},
      {GUARD_NAME, "root.RezazErar.G4.Name", long_word, long_word.substr(0, 255)},
      {GUARD_RANDOM_ENABLED, "root.RezazErar.G4.RandomEnabled", " \t ", std::nullopt},
      {GUARD_WAIT_TIME_VIEW_TYPE, "root.RezazErar.G4.Tour.T2.WaitTimeViewType", "Minutes",
       "Minutes"},
      {GUARD_CAM_NBR, "root.RezazErar.G4.CamNbr", "12abc", "", 12},
      {GUARD_CAM_NBR, "root.RezazErar.G4.CamNbr", std::nullopt, std::nullopt},
      {GUARD_CAM_NBR, "root.RezazErar.G4.CamNbr", "x12", std::nullopt},
      {GUARD_CAM_NBR, "root.RezazErar.G4.CamNbr", "4294967297", std::nullopt},
      {GUARD_CAM_NBR, "root.RezazErar.G4.CamNbr", "-4294967295", std::nullopt},
      {GUARD_TIME_BETWEEN_SEQUENCES, "root.RezazErar.G4.TimeBetweenSequences", "  -7 min", "", -7},
      {GUARD_TIME_BETWEEN_SEQUENCES, "root.RezazErar.G4.TimeBetweenSequences", "2147483648",
       std::nullopt},
      {GUARD_PRESET_NBR, "root.RezazErar.G4.Tour.T2.PresetNbr", "-2147483648", "", INT_MIN},
      {GUARD_POSITION, "root.RezazErar.G4.Tour.T2.Position", "2147483647", "", INT_MAX},
      {GUARD_MOVE_SPEED, "root.RezazErar.G4.Tour.T2.MoveSpeed", "+00000000000000042", "", 42},
      {GUARD_WAIT_TIME, "root.RezazErar.G4.Tour.T2.WaitTime", "99999999999", std::nullopt},
      {GUARD_WAIT_TIME, "root.RezazErar.G4.Tour.T2.WaitTime", std::string(256, '0') + "5",
       std::nullopt},
      {GUARD_RUNNING, "root.RezazErar.G4.Running", std::string(256, ' ') + "yes", std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << "=" << c.stored.value_or("(absent)"));
    syslog_capture::clear();
    drop(tour(4));
    if (c.stored)
      put(c.name, *c.stored);
    TourParam param = {
        .type = c.type, .int_value = 0, .str_value = "", .tour_id = 4, .preset_id = 2};
    ASSERT_EQ(tour_confhub_get_parameter(&param), c.text ? 0 : -1);
    EXPECT_EQ(syslog_capture::count(LOG_ERR, PARSE_FAILED), c.text || !c.stored ? 0 : 1);
    if (c.text) {
      EXPECT_EQ(c.type <= GUARD_WAIT_TIME_VIEW_TYPE ? param.str_value : "", *c.text);
      EXPECT_EQ(param.int_value, c.number);
    }
  }
}

/* Running must survive a power cut right after its write; other leaves
 * need not pay for that. */
TEST_F(ParamsTest, OnlyRunningIsWrittenDurably) {
  for (auto [type, durable] : {std::pair{GUARD_RUNNING, 1}, {GUARD_CAM_NBR, 0}}) {
    param_store_testing_reset();
    TourParam param = {.type = type, .int_value = 3, .str_value = "yes", .tour_id = 4};
    ASSERT_EQ(tour_confhub_set_parameter(&param), 0);
    EXPECT_EQ(calls("durable write"), durable);
  }
}

/* "Minutes" (exactly) scales the wait to seconds, held to the int range; a
 * missing or unreadable leaf makes the whole point unreadable. */
TEST_F(ParamsTest, FetchPoint) {
  const std::tuple<const char *, const char *, std::optional<int32_t>> cases[] = {
      {"Minutes", "2", 120},
      {"minutes", "2", 2},
      {"Minutes!", "2", 2},
      {"Minutes", "214748364", INT_MAX},
      {"Minutes", "-40000000", INT_MIN}, /* not wrapped to 60 years */
      {"Seconds", "4294967301", {}},
      {"Seconds", nullptr, {}},
  };
  for (const auto &[view_type, wait, expected] : cases) {
    SCOPED_TRACE(testing::Message() << view_type << " " << (wait ? wait : "(absent)"));
    drop(tour(3));
    for (auto [leaf, value] : {std::pair{"PresetNbr", "11"},
                               {"Position", "4"},
                               {"MoveSpeed", "70"},
                               {"WaitTimeViewType", view_type},
                               {"WaitTime", wait}})
      if (value != nullptr)
        put(tour(3, std::string("Tour.T1.") + leaf), value);
    PresetPoint point = {-1, -1, -1, -1};
    ASSERT_EQ(tour_confhub_fetch_preset_point(3, 1, &point), expected ? 0 : -1);
    if (expected) {
      EXPECT_EQ(
          std::make_tuple(point.preset_nbr, point.position, point.move_speed, point.wait_time),
          std::make_tuple(11, 4, 70, *expected));
    }
  }
}

/* Runs `action` when a listing opens its context for the n-th time: the
 * store changing between the two passes. */
struct OpenHook {
  OpenHook(int on_open, std::function<void()> action) : on_open(on_open), action(action) {
    param_store_testing_set_open_hook(
        [](const char *, void *self) {
          auto *hook = static_cast<OpenHook *>(self);
          if (++hook->opens == hook->on_open)
            hook->action();
        },
        this);
  }
  ~OpenHook() { param_store_testing_set_open_hook(nullptr, nullptr); }
  int on_open, opens = 0;
  std::function<void()> action;
};

std::pair<int, std::optional<Ids>> guard_tours() {
  int32_t *raw = nullptr;
  const int count = tour_confhub_get_guard_tour_ids(&raw);
  g_autofree int32_t *ids = raw;
  if (count < 0)
    return {count, ids ? std::optional<Ids>(Ids{}) : std::nullopt};
  return {count, Ids(ids, ids + count)};
}

/* A child not named "G" and a number in 32 bits fails the listing; a store
 * failure in the first pass reads as no tours, in the second as a failure;
 * children added between the passes are not visited. */
TEST_F(ParamsTest, ListsGuardToursInStoreOrder) {
  auto fail_at = [](const char *call) { return [=] { param_store_testing_fail(call, 1); }; };
  struct {
    const char *what;
    std::vector<std::string> groups;
    int on_open;
    std::function<void()> action;
    int count;
    Ids ids;
  } const cases[] = {
      {"store order", {"G3", "G0", "G7", "G12x", "G3"}, 0, {}, 4, {3, 0, 7, 12}},
      {"stray group", {"G1", "Settings", "G2"}, 0, {}, -1, {}},
      {"number too large", {"G1", "G4294967297"}, 0, {}, -1, {}},
      {"none", {}, 0, {}, 0, {}},
      {"removed between passes", {"G1", "G2"}, 2, [] { drop(tour(2)); }, -1, {}},
      {"added between passes", {"G4", "G6"}, 2, [] { put(tour(8, "CamNbr"), "1"); }, 2, {4, 6}},
      {"first pass fails", {"G1"}, 1, fail_at("cli_getChildGroupInGroup"), 0, {}},
      {"second pass fails", {"G1"}, 2, fail_at("cli_getChildGroupInGroup"), -1, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    drop("root.RezazErar");
    put("root.Other.G1.CamNbr", "1");
    for (const std::string &group : c.groups)
      put("root.RezazErar." + group + ".CamNbr", "1");
    std::optional<OpenHook> hook;
    if (c.action)
      hook.emplace(c.on_open, c.action);
    const auto [count, ids] = guard_tours();
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(ids, c.count < 0 ? std::nullopt : std::optional<Ids>(c.ids));
    param_store_testing_reset();
  }
  EXPECT_TRUE(syslog_capture::lines().empty());
}

} // namespace
