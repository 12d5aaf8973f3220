/* The engine against ptz-sim and the real platform libraries: a short
 * ordered tour stepped by a 100 ms timeout on the main loop, as the handler
 * steps it. */
#include <algorithm>
#include <csignal>
#include <sys/wait.h>

#include "preset_tour.h"
#include "private_bus.h"
#include "temp_store.h"

namespace {

auto *const bus_env = ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);

/* The presets the simulator's one camera reached, oldest first, "3,1,2". */
std::string reached(GDBusConnection *bus) {
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "com.vorn.PTZ.Coordinator", "/com/vorn/PTZ/Simulator",
      "com.vorn.PTZ.Simulator", "GetState", nullptr, G_VARIANT_TYPE("(s)"),
      G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
  if (reply == nullptr)
    return "down";
  const char *json = nullptr;
  g_variant_get(reply, "(&s)", &json);
  const std::string state(json);
  const size_t from = state.find("\"history\":[") + 11;
  return state.substr(from, state.find(']', from) - from);
}

/* Arrival by position needs a re-issued goto; preset events need none. */
int most_attempts = 0;
gboolean tick(gpointer engine) {
  preset_tour_iterate_tour(static_cast<PresetTour *>(engine));
  most_attempts = std::max(most_attempts, static_cast<PresetTour *>(engine)->goto_attempts);
  return G_SOURCE_CONTINUE;
}

struct SimTourTest : TempStoreTest {
  void SetUp() override {
    TempStoreTest::SetUp();
    const char *argv[] = {PTZ_SIM_PATH, "--cameras", "1", "--speed-scale", "20", nullptr};
    ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char **>(argv), nullptr,
                              G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &sim_, nullptr));
    bus_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    ASSERT_TRUE(run_main_loop_until([&] { return reached(bus_) != "down"; }, 5000));
  }
  void TearDown() override {
    preset_tour_flush_running_writes();
    if (sim_ > 0)
      kill(sim_, SIGTERM), waitpid(sim_, nullptr, 0);
    g_clear_object(&bus_);
    TempStoreTest::TearDown();
  }
  GPid sim_ = 0;
  GDBusConnection *bus_ = nullptr;
};

TEST_F(SimTourTest, OrderedTourVisitsPresetsInOrderOnPresetEvents) {
  using namespace temp_store;
  put(tour(0, "Running"), "no");
  put(tour(0, "RandomEnabled"), "no");
  put(tour(0, "TimeBetweenSequences"), "0");
  for (auto [point, preset, position] : {std::array{0, 1, 2}, {1, 2, 3}, {2, 3, 1}})
    put_point(0, point, preset, position, 50, 0);

  g_autoptr(PresetTour) engine =
      static_cast<PresetTour *>(g_object_new(PRESET_TOUR_TYPE, nullptr));
  ASSERT_EQ(preset_tour_play_tour(engine, 1, 0), 0);
  const guint ticker = g_timeout_add(100, tick, engine);
  const bool visited = run_main_loop_until([&] { return reached(bus_).size() >= 5; }, 15000);
  g_source_remove(ticker);
  ASSERT_TRUE(visited) << reached(bus_);
  EXPECT_EQ(reached(bus_).substr(0, 5), "3,1,2");
  EXPECT_EQ(most_attempts, 0);
  ASSERT_EQ(preset_tour_stop_tour(engine), 0);
}

} // namespace
