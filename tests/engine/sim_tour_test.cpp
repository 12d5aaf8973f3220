/* The engine against ptz-sim and the real platform libraries: a short
 * ordered tour stepped every 100 ms on the main loop, as the handler does. */
#include <csignal>
#include <sys/wait.h>

#include "preset_tour.h"
#include "private_bus.h"
#include "temp_store.h"

namespace {

auto *const bus_env = ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);

/* The presets the simulator's one camera reached, oldest first: "3,1,2". */
std::string reached() {
  static GDBusConnection *const bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "com.vorn.PTZ.Coordinator", "/com/vorn/PTZ/Simulator", "com.vorn.PTZ.Simulator",
      "GetState", nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
  if (reply == nullptr)
    return "down";
  const char *json = nullptr;
  g_variant_get(reply, "(&s)", &json);
  const std::string state(json);
  const size_t from = state.find("\"history\":[") + 11;
  return state.substr(from, state.find(']', from) - from);
}

TEST_F(TempStoreTest, OrderedTourVisitsPresetsInOrderOnPresetEvents) {
  using namespace temp_store;
  put(tour(0, "Running"), "no");
  put(tour(0, "RandomEnabled"), "no");
  put(tour(0, "TimeBetweenSequences"), "0");
  for (auto [point, preset, position] : {std::array{0, 1, 2}, {1, 2, 3}, {2, 3, 1}})
    put_point(0, point, preset, position, 50, 0);
  const char *argv[] = {PTZ_SIM_PATH, "--cameras", "1", "--speed-scale", "20", nullptr};
  GPid sim = 0;
  ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char **>(argv), nullptr,
                            G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &sim, nullptr));
  struct Reap {
    GPid pid;
    ~Reap() { kill(pid, SIGTERM), waitpid(pid, nullptr, 0); }
  } reap{sim};
  ASSERT_TRUE(run_main_loop_until([] { return reached() != "down"; }, 5000));

  g_autoptr(PresetTour) engine = PRESET_TOUR(g_object_new(PRESET_TOUR_TYPE, nullptr));
  ASSERT_EQ(preset_tour_play_tour(engine, 1, 0), 0);
  /* Arrival by position needs a re-issued goto; by preset event, none. */
  std::pair<PresetTour *, int> ticked{engine, 0};
  const guint ticker = g_timeout_add(100, [](gpointer data) -> gboolean {
    auto *t = static_cast<std::pair<PresetTour *, int> *>(data);
    preset_tour_iterate_tour(t->first);
    t->second = std::max(t->second, t->first->goto_attempts);
    return G_SOURCE_CONTINUE;
  }, &ticked);
  const bool visited = run_main_loop_until([] { return reached().size() >= 5; }, 15000);
  g_source_remove(ticker);
  EXPECT_TRUE(visited);
  EXPECT_EQ(reached().substr(0, 5), "3,1,2");
  EXPECT_EQ(ticked.second, 0);
  ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  preset_tour_flush_running_writes();
}

} // namespace
