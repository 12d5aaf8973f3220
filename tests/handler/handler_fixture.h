/*
 * A TourHandler on the private bus, over a fresh store file and the fake PTZ
 * platform. The store is seeded and read back through the store client
 * itself, so the handler never grades its own writes.
 */
#pragma once

#include <string>

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include "fake_ptz.h"
#include "param_store.h"
#include "param_store_testing.h"
#include "preset_tour.h"
#include "private_bus.h"
#include "syslog_capture.h"
#include "tour_handler.h"

namespace handler_test {

inline std::string tour_param(int tour_id, const char *leaf) {
  return "root.RezazErar.G" + std::to_string(tour_id) + "." + leaf;
}

inline void put(const std::string &name, const std::string &value) {
  int32_t error = 0;
  cli_Options options;
  cli_resetOptions(&options);
  cli_setCustomParam(name.c_str(), value.c_str(), &options, &error);
  ASSERT_EQ(error, 0) << "seeding " << name;
}

/* The stored text, or "<absent>". */
inline std::string stored(const std::string &name) {
  int32_t error = 0;
  cli_Options options;
  cli_resetOptions(&options);
  g_autofree char *value = cli_getCustomParam(name.c_str(), &options, &error);
  return error == 0 && value != nullptr ? std::string(value) : "<absent>";
}

/* A playable tour of one point. `cam` is stored as given, so a test can
 * seed "abc" or "" as well as a number; nullptr leaves CamNbr out. */
inline void seed_tour(int tour_id, const char *cam, const char *running = "no") {
  put(tour_param(tour_id, "Name"), "tour" + std::to_string(tour_id));
  if (cam != nullptr)
    put(tour_param(tour_id, "CamNbr"), cam);
  put(tour_param(tour_id, "Running"), running);
  put(tour_param(tour_id, "RandomEnabled"), "no");
  put(tour_param(tour_id, "TimeBetweenSequences"), "0");
  put(tour_param(tour_id, "Tour.T0.PresetNbr"), "1");
  put(tour_param(tour_id, "Tour.T0.Position"), "0");
  put(tour_param(tour_id, "Tour.T0.MoveSpeed"), "50");
  put(tour_param(tour_id, "Tour.T0.WaitTime"), "5");
  put(tour_param(tour_id, "Tour.T0.WaitTimeViewType"), "Seconds");
}

inline std::string running_of(int tour_id) {
  preset_tour_flush_running_writes();
  return stored(tour_param(tour_id, "Running"));
}

inline bool group_exists(int tour_id) {
  return stored(tour_param(tour_id, "Name")) != "<absent>";
}

class HandlerTest : public ::testing::Test {
protected:
  void SetUp() override {
    g_autoptr(GError) error = nullptr;
    dir_ = g_dir_make_tmp("handler-test-XXXXXX", &error);
    ASSERT_NE(dir_, nullptr) << error->message;
    g_autofree char *path = g_build_filename(dir_, "params.db", nullptr);
    g_setenv("PARAM_STORE_PATH", path, TRUE);
    param_store_testing_reset();
    fake_ptz::reset();
    syslog_capture::clear();
  }

  void TearDown() override {
    stop_handler();
    preset_tour_flush_running_writes();
    param_store_testing_reset();
    g_unsetenv("PARAM_STORE_PATH");
    g_autoptr(GDir) dir = g_dir_open(dir_, 0, nullptr);
    while (const char *entry = dir ? g_dir_read_name(dir) : nullptr) {
      g_autofree char *file = g_build_filename(dir_, entry, nullptr);
      g_remove(file);
    }
    g_rmdir(dir_);
    g_free(dir_);
  }

  void start_handler() {
    handler_ = static_cast<TourHandler *>(g_object_new(TOUR_HANDLER_TYPE, nullptr));
    ASSERT_NE(handler_, nullptr);
  }

  /* The bus service registers its object on the process's shared system bus
   * connection for as long as that connection lives, as the daemon needs.
   * A test process creates many handlers, so the connection is closed and
   * dropped with each one and the next handler starts on a fresh one. */
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
    /* GIO hands out the same connection until the last reference is gone. */
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

  PresetTour *slot(int camera_id) { return handler_->preset_tours[camera_id - 1]; }

  /* The tour that `camera_id`'s engine holds, or -2 with no engine. */
  int held(int camera_id) {
    PresetTour *tour = slot(camera_id);
    return tour == nullptr ? -2 : tour->tour_id;
  }

  void play(int tour_id) {
    ASSERT_TRUE(tour_handler_play_preset_tour(handler_, tour_id, nullptr));
    process();
  }

  TourHandler *handler_ = nullptr;

private:
  char *dir_ = nullptr;
};

} // namespace handler_test
