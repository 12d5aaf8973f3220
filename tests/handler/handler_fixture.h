/*
 * A TourHandler over a fresh store file, the fake PTZ platform and a private
 * bus (the test program adds the bus environment); shared with the status
 * tests.
 */
#pragma once

#include <functional>

#include <gio/gio.h>

#include "fake_ptz.h"
#include "preset_tour.h"
#include "private_bus.h"
#include "syslog_capture.h"
#include "temp_store.h"
#include "tour_handler.h"
#include "tour_handler_internal.h" /* the tick, driven by hand */

namespace handler_test {

using namespace temp_store;
using Request = gboolean (*)(TourHandler *, int32_t, GError **);

/* A playable tour of one point named "tour<id>"; a null CamNbr is left out. */
inline void seed_tour(int tour_id, const char *cam, const char *running = "no") {
  put(tour(tour_id, "Name"), "tour" + std::to_string(tour_id));
  put_tour(tour_id, {.cam = cam, .running = running});
}
/* Tours of one point each, by tour id and CamNbr. */
inline void put_tours(std::initializer_list<std::pair<int, const char *>> tours) {
  for (auto [tour_id, cam] : tours)
    seed_tour(tour_id, cam);
}

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
  }
  /* The bus service keeps its object on the process's shared system bus
   * connection while that lives, so the connection goes with each handler. */
  void stop_handler(const std::function<void()> &released = {}) {
    if (handler_ == nullptr)
      return;
    g_clear_object(&handler_);
    if (released)
      released();
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_add_weak_pointer(G_OBJECT(bus), reinterpret_cast<gpointer *>(&bus));
    g_object_unref(bus);
    ASSERT_TRUE(run_main_loop_until([&] { return bus == nullptr; }, 5000));
  }
  /* Queues the request and lets the idle callback work it off, bounded. */
  void request(Request op, int32_t tour_id) {
    ASSERT_TRUE(op(handler_, tour_id, nullptr));
    settle();
  }
  /* Lets the idle callback work off what is queued, bounded. */
  void settle() {
    ASSERT_TRUE(
        run_main_loop_until([&] { return !tour_handler_has_pending_requests(handler_); }, 5000));
  }
  void play(int tour_id) { request(tour_handler_play_preset_tour, tour_id); }
  void tick() { tour_handler_iterate_tours(handler_); }
  PresetTour *slot(int camera_id) { return tour_handler_peek_slot(handler_, camera_id); }
  /* What `camera_id`'s engine is doing; it must have one. */
  PresetTourSnapshot engine(int camera_id) { return preset_tour_snapshot(slot(camera_id)); }
  /* The tour that `camera_id`'s engine holds, or -2 with no engine. */
  int held(int camera_id) { return slot(camera_id) ? engine(camera_id).tour_id : -2; }
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
