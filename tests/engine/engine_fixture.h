/* Shared set-up of the engine tests: a private bus with a scripted
 * coordinator, a fresh parameter store per test, the fake PTZ platform. */
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_coordinator.h"
#include "fake_ptz.h"
#include "preset_tour.h"
#include "private_bus.h"
#include "syslog_capture.h"

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
  const char *running = "no";
  const char *omit = nullptr; /* a parameter left out, relative to G<n> */
};

class EngineTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  /* Engines are never finalised during the run: a goto completion may still
   * be queued for them on the main context. */
  PresetTour *make_engine();

  static void put(const std::string &name, const std::string &value);
  static std::optional<std::string> get(const std::string &name);
  static void write_tour(const TourSpec &spec);
  static std::string running_of(int tour_id);

  /* A fresh engine playing `spec` on `camera_id`; counters start after. */
  PresetTour *play(const TourSpec &spec, int camera_id = 1);

  static void step(PresetTour *engine, int ticks = 1);
  /* Waits (bounded) until the coordinator has seen `count` calls of
   * `method`: GotoPresetNumber is sent asynchronously. */
  static void wait_for_calls(const std::string &method, size_t count);
  /* Preset numbers of the gotos sent so far. */
  static std::vector<int> goto_presets();
  static int preset_at(PresetTour *engine, int index);

private:
  char *dir_ = nullptr;
};
