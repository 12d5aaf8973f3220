/* An engine made while the system bus cannot be reached has no coordinator
 * proxy, yet plays, steps and stops. */
#include <syslog.h>

#include "fake_ptz.h"
#include "preset_tour.h"
#include "syslog_capture.h"
#include "temp_store.h"

using namespace temp_store;

TEST_F(TempStoreTest, EngineWithoutBusNeverAborts) {
  g_log_set_always_fatal(G_LOG_LEVEL_CRITICAL); /* a call on no proxy aborts */
  g_setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/engine-test", TRUE);
  syslog_capture::clear();
  put(tour(0, "Running"), "no");
  put(tour(0, "RandomEnabled"), "no");
  put(tour(0, "TimeBetweenSequences"), "0");
  put_point(0, 0, 1, 1, 1, 1);
  auto *engine = static_cast<PresetTour *>(g_object_new(PRESET_TOUR_TYPE, nullptr));
  EXPECT_EQ(syslog_capture::count(LOG_ERR, "Failed to connect to system dbus"), 1);
  ASSERT_EQ(preset_tour_play_tour(engine, 1, 0), 0);
  for (int i = 0; i < 700; ++i) /* past both readiness rules, twice */
    ASSERT_EQ(preset_tour_iterate_tour(engine), 0);
  EXPECT_EQ(preset_tour_control_queue(engine, QUEUE_ACTION_KEEPALIVE), -1);
  ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  EXPECT_FALSE(fake_ptz::fire_preset(1, 1));
  preset_tour_flush_running_writes();
  EXPECT_EQ(stored(tour(0, "Running")), "no");
  g_object_unref(engine);
}
