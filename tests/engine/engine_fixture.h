/* Shared set-up of the engine tests: a private bus with a scripted
 * coordinator, a fresh parameter store per test, the fake PTZ platform. */
#pragma once

#include "fake_coordinator.h"
#include "fake_ptz.h"
#include "preset_tour.h"
#include "private_bus.h"
#include "syslog_capture.h"
#include "temp_store.h"

FakeCoordinator &coordinator();

struct TourPoint {
  int point_id; /* T<point_id> */
  int preset_nbr;
  int position;
  int move_speed = 1;
  int wait_time = 5;
};

struct TourSpec {
  int tour_id = 1;
  const char *random = "no";
  int time_between_sequences = 0;
  std::vector<TourPoint> points;
};

class EngineTest : public TempStoreTest {
protected:
  void SetUp() override;
  void TearDown() override;

  /* Engines are never finalised during the run: a goto completion may still
   * be queued for them on the main context. */
  static PresetTour *make_engine();
  static void write_tour(const TourSpec &spec);
  static std::string running_of(int tour_id);
  /* A fresh engine playing `spec`; records and counters start after. */
  static PresetTour *play(const TourSpec &spec, int camera_id);
  static void step(PresetTour *engine, int ticks = 1);
  /* Bounded wait for `count` calls of `method`: gotos are asynchronous. */
  static void wait_for_calls(const std::string &method, size_t count);
  static std::vector<int> goto_presets();
};
