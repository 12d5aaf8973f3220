/* An engine made while the system bus cannot be reached. */
#include <gtest/gtest.h>
#include <syslog.h>

#include <glib/gstdio.h>

#include "fake_ptz.h"
#include "param_store.h"
#include "preset_tour.h"
#include "syslog_capture.h"

namespace {

class NoBusTest : public ::testing::Test {
protected:
  void SetUp() override {
    /* Nothing listens there: every attempt fails at once. */
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/engine-test",
             TRUE);
    fake_ptz::reset();
    syslog_capture::clear();
    g_autoptr(GError) error = nullptr;
    dir_ = g_dir_make_tmp("engine-nobus-XXXXXX", &error);
    ASSERT_NE(dir_, nullptr);
    g_autofree char *path = g_build_filename(dir_, "params.db", nullptr);
    g_setenv("PARAM_STORE_PATH", path, TRUE);
  }
  void TearDown() override {
    preset_tour_flush_running_writes();
    g_autofree char *cmd = g_strdup_printf("rm -rf '%s'", dir_);
    EXPECT_EQ(system(cmd), 0);
    g_free(dir_);
  }
  static void put(const char *name, const char *value) {
    cli_Options options;
    cli_resetOptions(&options);
    int32_t error = 0;
    cli_setCustomParam(name, value, &options, &error);
    ASSERT_EQ(error, 0);
  }
  static std::string get(const char *name) {
    cli_Options options;
    cli_resetOptions(&options);
    int32_t error = 0;
    g_autofree char *value = cli_getCustomParam(name, &options, &error);
    return error == 0 && value ? value : "(absent)";
  }
  char *dir_ = nullptr;
};

TEST_F(NoBusTest, EngineLivesWithoutConnectionAndStillStops) {
  put("root.RezazErar.G0.Running", "no");
  put("root.RezazErar.G0.RandomEnabled", "no");
  put("root.RezazErar.G0.TimeBetweenSequences", "0");
  for (const char *leaf : {"PresetNbr", "Position", "MoveSpeed", "WaitTime"})
    put((std::string("root.RezazErar.G0.Tour.T0.") + leaf).c_str(), "1");
  put("root.RezazErar.G0.Tour.T0.WaitTimeViewType", "Seconds");

  PresetTour *engine =
      static_cast<PresetTour *>(g_object_new(PRESET_TOUR_TYPE, nullptr));
  EXPECT_EQ(engine->connection, nullptr);
  EXPECT_EQ(syslog_capture::count(LOG_ERR, "Failed to connect to system dbus"),
            1);
  EXPECT_EQ(fake_ptz::count("initialize_random"), 0);
  EXPECT_EQ(fake_ptz::count("tour_moving_events_init"), 0);

  ASSERT_EQ(preset_tour_play_tour(engine, 1, 0), 0);
  EXPECT_EQ(engine->proxy, nullptr);
  preset_tour_flush_running_writes();
  EXPECT_EQ(get("root.RezazErar.G0.Running"), "yes");

  for (int i = 0; i < 700; ++i)
    EXPECT_EQ(preset_tour_iterate_tour(engine), 0);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);

  ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  EXPECT_EQ(engine->active, 0);
  EXPECT_FALSE(fake_ptz::preset_registered(1));
  preset_tour_flush_running_writes();
  EXPECT_EQ(get("root.RezazErar.G0.Running"), "no");
  g_object_unref(engine);
}

} // namespace
