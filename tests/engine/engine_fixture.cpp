#include "engine_fixture.h"

namespace {

auto *const bus_env = static_cast<PrivateBusEnvironment *>(
    ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment));
FakeCoordinator *the_coordinator = nullptr;

class CoordinatorEnvironment : public ::testing::Environment {
  void SetUp() override {
    the_coordinator = new FakeCoordinator(bus_env->address());
  }
  void TearDown() override { delete the_coordinator; }
};
auto *const coordinator_env =
    ::testing::AddGlobalTestEnvironment(new CoordinatorEnvironment);

} // namespace

FakeCoordinator &coordinator() { return *the_coordinator; }

void EngineTest::SetUp() {
  TempStoreTest::SetUp();
  fake_ptz::reset();
  syslog_capture::clear();
  coordinator().reset();
}

void EngineTest::TearDown() {
  /* No write of this test may land in the next test's store. */
  preset_tour_flush_running_writes();
  TempStoreTest::TearDown();
}

PresetTour *EngineTest::make_engine() {
  static std::vector<PresetTour *> kept;
  kept.push_back(
      static_cast<PresetTour *>(g_object_new(PRESET_TOUR_TYPE, nullptr)));
  return kept.back();
}

void EngineTest::write_tour(const TourSpec &spec) {
  using temp_store::put;
  using temp_store::tour;
  put(tour(spec.tour_id, "Running"), "no");
  put(tour(spec.tour_id, "RandomEnabled"), spec.random);
  put(tour(spec.tour_id, "TimeBetweenSequences"),
      std::to_string(spec.time_between_sequences));
  for (const TourPoint &p : spec.points)
    temp_store::put_point(spec.tour_id, p.point_id, p.preset_nbr, p.position,
                          p.move_speed, p.wait_time);
}

std::string EngineTest::running_of(int tour_id) {
  preset_tour_flush_running_writes();
  return temp_store::stored(temp_store::tour(tour_id, "Running"));
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
  ASSERT_TRUE(run_main_loop_until(
      [&] { return coordinator().calls(method).size() >= count; }, 5000))
      << "expected " << count << " " << method << " calls, got "
      << coordinator().calls(method).size();
}

std::vector<int> EngineTest::goto_presets() {
  std::vector<int> presets;
  for (const auto &call : coordinator().calls("GotoPresetNumber"))
    presets.push_back(call.ints.at(1));
  return presets;
}
