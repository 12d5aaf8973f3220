/*
 * A TourHandler on the private bus, over a fresh store file and the fake PTZ
 * platform.
 */
#pragma once

#include <gio/gio.h>

#include "fake_ptz.h"
#include "preset_tour.h"
#include "private_bus.h"
#include "syslog_capture.h"
#include "temp_store.h"
#include "tour_handler.h"

namespace handler_test {

using namespace temp_store;

/* A playable tour of one point. `cam` is stored as given, so a test can
 * seed "abc" or "" as well as a number; nullptr leaves CamNbr out. */
inline void seed_tour(int tour_id, const char *cam, const char *running = "no") {
  put(tour(tour_id, "Name"), "tour" + std::to_string(tour_id));
  if (cam != nullptr)
    put(tour(tour_id, "CamNbr"), cam);
  put(tour(tour_id, "Running"), running);
  put(tour(tour_id, "RandomEnabled"), "no");
  put(tour(tour_id, "TimeBetweenSequences"), "0");
  put_point(tour_id, 0, 1, 0, 50, 5);
}

inline std::string running_of(int tour_id) {
  preset_tour_flush_running_writes();
  return stored(tour(tour_id, "Running"));
}

inline bool group_exists(int tour_id) {
  return get(tour(tour_id, "Name")).has_value();
}

using Request = gboolean (*)(TourHandler *, int32_t, GError **);

class HandlerTest : public TempStoreTest {
protected:
  void SetUp() override {
    TempStoreTest::SetUp();
    fake_ptz::reset();
    syslog_capture::clear();
  }

  void TearDown() override {
    stop_handler();
    preset_tour_flush_running_writes();
    TempStoreTest::TearDown();
  }

  void start_handler() {
    handler_ = static_cast<TourHandler *>(g_object_new(TOUR_HANDLER_TYPE, nullptr));
    ASSERT_NE(handler_, nullptr);
  }

  /* The bus service keeps its object on the process's shared system bus
   * connection for as long as that lives, so the connection is closed and
   * dropped with each handler and the next one starts on a fresh one. */
  void stop_handler() {
    if (handler_ == nullptr)
      return;
    g_clear_object(&handler_);
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (bus == nullptr)
      return;
    /* A close racing the reader can look like the bus going away. */
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_add_weak_pointer(G_OBJECT(bus), reinterpret_cast<gpointer *>(&bus));
    g_object_unref(bus);
    EXPECT_TRUE(run_main_loop_until([&] { return bus == nullptr; }, 2000))
        << "the shared bus connection outlived the handler";
    if (bus != nullptr)
      g_object_remove_weak_pointer(G_OBJECT(bus), reinterpret_cast<gpointer *>(&bus));
  }

  /* Lets the pending idle callback run the queue, within a bound. */
  void process() {
    ASSERT_TRUE(run_main_loop_until([&] { return handler_->idle_id == 0; }, 5000));
  }

  void request(Request op, int32_t tour_id) {
    ASSERT_TRUE(op(handler_, tour_id, nullptr));
    process();
  }
  void play(int tour_id) { request(tour_handler_play_preset_tour, tour_id); }

  PresetTour *slot(int camera_id) { return handler_->preset_tours[camera_id - 1]; }

  /* The tour that `camera_id`'s engine holds, or -2 with no engine. */
  int held(int camera_id) {
    PresetTour *tour = slot(camera_id);
    return tour == nullptr ? -2 : tour->tour_id;
  }

  /* Cameras that have an engine. */
  std::vector<int> engines() {
    std::vector<int> cameras;
    for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
      if (slot(cam) != nullptr)
        cameras.push_back(cam);
    return cameras;
  }

  TourHandler *handler_ = nullptr;
};

} // namespace handler_test
