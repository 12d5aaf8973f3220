/*
 * A fresh parameter store file per test (PARAM_STORE_PATH), cleared store
 * seams and an empty syslog capture. Values are seeded and inspected through
 * the store client itself, so the module under test never grades its own
 * writes.
 */
#pragma once

#include <string>

#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include "param_store.h"
#include "param_store_testing.h"
#include "syslog_capture.h"

class StoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    g_autoptr(GError) error = nullptr;
    dir_ = g_dir_make_tmp("params-test-XXXXXX", &error);
    ASSERT_NE(dir_, nullptr) << error->message;
    g_autofree char *path = g_build_filename(dir_, "params.db", nullptr);
    g_setenv("PARAM_STORE_PATH", path, TRUE);
    param_store_testing_reset();
    syslog_capture::clear();
  }

  void TearDown() override {
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

private:
  char *dir_ = nullptr;
};

namespace store {

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
  return error == 0 && value ? std::string(value) : "<absent>";
}

/* The store's own error word after deleting `group`. */
inline int32_t remove(const std::string &group) {
  int32_t error = 0;
  cli_Options options;
  cli_resetOptions(&options);
  cli_deleteGroup(group.c_str(), &options, &error);
  return error;
}

inline std::string tour(int tour_id) {
  return "root.RezazErar.G" + std::to_string(tour_id);
}

inline std::string point(int tour_id, int point_id) {
  return tour(tour_id) + ".Tour.T" + std::to_string(point_id);
}

inline void put_tour(int tour_id) { put(tour(tour_id) + ".CamNbr", "1"); }

inline void put_point(int tour_id, int point_id, int preset_nbr, int position,
                      int move_speed, int wait_time,
                      const std::string &view_type) {
  const std::string base = point(tour_id, point_id) + ".";
  put(base + "PresetNbr", std::to_string(preset_nbr));
  put(base + "Position", std::to_string(position));
  put(base + "MoveSpeed", std::to_string(move_speed));
  put(base + "WaitTime", std::to_string(wait_time));
  put(base + "WaitTimeViewType", view_type);
}

/* Forget the seeding calls so that counts cover only the call under test. */
inline void seeded() { param_store_testing_reset(); }

inline int calls(const char *call) { return param_store_testing_calls(call); }

} // namespace store
