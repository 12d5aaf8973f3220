#include "engine_fixture.h"

#include <glib/gstdio.h>

#include "param_store.h"
#include "param_store_testing.h"

namespace {

PrivateBusEnvironment *const bus_env = static_cast<PrivateBusEnvironment *>(
    ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment));

FakeCoordinator *the_coordinator = nullptr;

class CoordinatorEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    the_coordinator = new FakeCoordinator(bus_env->address());
  }
  void TearDown() override {
    delete the_coordinator;
    the_coordinator = nullptr;
  }
};

auto *const coordinator_env =
    ::testing::AddGlobalTestEnvironment(new CoordinatorEnvironment);

std::vector<PresetTour *> &kept_engines() {
  static std::vector<PresetTour *> engines;
  return engines;
}

} // namespace

FakeCoordinator &coordinator() { return *the_coordinator; }

void EngineTest::SetUp() {
  fake_ptz::reset();
  syslog_capture::clear();
  coordinator().reset();
  g_autoptr(GError) error = nullptr;
  dir_ = g_dir_make_tmp("engine-test-XXXXXX", &error);
  ASSERT_NE(dir_, nullptr) << error->message;
  g_autofree char *path = g_build_filename(dir_, "params.db", nullptr);
  g_setenv("PARAM_STORE_PATH", path, TRUE);
  param_store_testing_reset();
}

void EngineTest::TearDown() {
  /* No write of this test may land in the next test's store. */
  preset_tour_flush_running_writes();
  param_store_testing_reset();
  param_store_testing_close_connection();
  g_autofree char *cmd = g_strdup_printf("rm -rf '%s'", dir_);
  EXPECT_EQ(system(cmd), 0);
  g_free(dir_);
}

PresetTour *EngineTest::make_engine() {
  auto *engine = static_cast<PresetTour *>(g_object_new(PRESET_TOUR_TYPE,
                                                        nullptr));
  kept_engines().push_back(engine);
  return engine;
}

void EngineTest::put(const std::string &name, const std::string &value) {
  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  cli_setCustomParam(name.c_str(), value.c_str(), &options, &error);
  ASSERT_EQ(error, 0) << name;
}

std::optional<std::string> EngineTest::get(const std::string &name) {
  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  g_autofree char *value = cli_getCustomParam(name.c_str(), &options, &error);
  if (error != 0 || value == nullptr)
    return std::nullopt;
  return std::string(value);
}

void EngineTest::write_tour(const TourSpec &spec) {
  const std::string group = "root.RezazErar.G" + std::to_string(spec.tour_id);
  const std::string omitted =
      spec.omit != nullptr ? group + "." + spec.omit : std::string();
  auto put_unless_omitted = [&](const std::string &name,
                                const std::string &value) {
    if (name != omitted)
      put(name, value);
  };
  put_unless_omitted(group + ".Running", spec.running);
  put_unless_omitted(group + ".RandomEnabled", spec.random);
  put_unless_omitted(group + ".TimeBetweenSequences",
                     std::to_string(spec.time_between_sequences));
  for (const TourPoint &p : spec.points) {
    const std::string point = group + ".Tour.T" + std::to_string(p.point_id);
    put_unless_omitted(point + ".PresetNbr", std::to_string(p.preset_nbr));
    put_unless_omitted(point + ".Position", std::to_string(p.position));
    put_unless_omitted(point + ".MoveSpeed", std::to_string(p.move_speed));
    put_unless_omitted(point + ".WaitTime", std::to_string(p.wait_time));
    put_unless_omitted(point + ".WaitTimeViewType", "Seconds");
  }
}

std::string EngineTest::running_of(int tour_id) {
  preset_tour_flush_running_writes();
  return get("root.RezazErar.G" + std::to_string(tour_id) + ".Running")
      .value_or("(absent)");
}

PresetTour *EngineTest::play(const TourSpec &spec, int camera_id) {
  write_tour(spec);
  PresetTour *engine = make_engine();
  EXPECT_EQ(preset_tour_play_tour(engine, camera_id, spec.tour_id), 0);
  preset_tour_flush_running_writes();
  coordinator().reset();
  param_store_testing_reset();
  syslog_capture::clear();
  return engine;
}

void EngineTest::step(PresetTour *engine, int ticks) {
  for (int i = 0; i < ticks; ++i)
    preset_tour_iterate_tour(engine);
}

void EngineTest::wait_for_calls(const std::string &method, size_t count) {
  const bool seen = run_main_loop_until(
      [&] { return coordinator().calls(method).size() >= count; }, 5000);
  ASSERT_TRUE(seen) << "expected " << count << " " << method << " calls, got "
                    << coordinator().calls(method).size();
}

std::vector<int> EngineTest::goto_presets() {
  std::vector<int> presets;
  for (const auto &call : coordinator().calls("GotoPresetNumber"))
    presets.push_back(call.ints.at(1));
  return presets;
}

int EngineTest::preset_at(PresetTour *engine, int index) {
  auto *point = static_cast<PresetPoint *>(
      g_list_nth_data(engine->presets, guint(index)));
  return point ? point->preset_nbr : -1;
}
