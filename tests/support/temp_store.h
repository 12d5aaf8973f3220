/*
 * A fresh parameter store file per test (PARAM_STORE_PATH) with cleared
 * store seams, and helpers that seed and read it through the store client
 * itself, so the module under test never grades its own writes.
 */
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <glib.h>
#include <gtest/gtest.h>

#include "param_store.h"
#include "param_store_testing.h"

namespace temp_store {

using Names = std::vector<std::string>;

/* The store's error word after the write. Names are taken as C strings, so
 * that a null name can be tried. */
inline int32_t set(const char *name, const char *value) {
  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  cli_setCustomParam(name, value, &options, &error);
  return error;
}

inline void put(const std::string &name, const std::string &value) {
  ASSERT_EQ(set(name.c_str(), value.c_str()), 0) << "seeding " << name;
}

inline std::optional<std::string> get(const char *name) {
  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  g_autofree char *value = cli_getCustomParam(name, &options, &error);
  return error == 0 && value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}
inline std::optional<std::string> get(const std::string &name) { return get(name.c_str()); }

/* The stored text, or "<absent>". */
inline std::string stored(const std::string &name) { return get(name).value_or("<absent>"); }

/* The store's error word after deleting `group`. */
inline int32_t drop(const char *group) {
  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  cli_deleteGroup(group, &options, &error);
  return error;
}
inline int32_t drop(const std::string &group) { return drop(group.c_str()); }

/* Own names of the children of `group` in enumeration order; nullopt once
 * a call sets the error word. */
inline std::optional<Names> children(const std::string &group) {
  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  cli_GroupContext *ctx = cli_getChildGroupsInGroup(group.c_str(), &options, &error);
  Names names;
  while (error == 0) {
    cli_getChildGroupInGroup(ctx, &options, &error);
    if (error != 0 || ctx->end)
      break;
    names.emplace_back(ctx->name);
  }
  cli_cleanupGroupContext(ctx);
  return error == 0 ? std::optional<Names>(names) : std::nullopt;
}

inline std::string tour(int tour_id, const std::string &leaf = "") {
  const std::string group = "root.RezazErar.G" + std::to_string(tour_id);
  return leaf.empty() ? group : group + "." + leaf;
}

/* Writes one tour point's five leaves. */
inline void put_point(int tour_id, int point_id, int preset_nbr, int position, int move_speed,
                      int wait_time, const std::string &view_type = "Seconds") {
  const std::string base = tour(tour_id, "Tour.T" + std::to_string(point_id) + ".");
  put(base + "PresetNbr", std::to_string(preset_nbr));
  put(base + "Position", std::to_string(position));
  put(base + "MoveSpeed", std::to_string(move_speed));
  put(base + "WaitTime", std::to_string(wait_time));
  put(base + "WaitTimeViewType", view_type);
}

struct Point {
  int preset, position, speed = 1, wait = 5;
  const char *view = "Seconds";
};
/* A whole tour; a null text leaves its parameter out. */
struct Tour {
  const char *cam = "1", *running = "no", *random = "no";
  int between = 0; /* TimeBetweenSequences, minutes */
  std::vector<Point> points = {{1, 0, 50, 5}};
};
inline void put_tour(int tour_id, const Tour &t) {
  for (auto [leaf, value] :
       {std::pair{"CamNbr", t.cam}, {"Running", t.running}, {"RandomEnabled", t.random}})
    if (value != nullptr)
      put(tour(tour_id, leaf), value);
  put(tour(tour_id, "TimeBetweenSequences"), std::to_string(t.between));
  for (size_t i = 0; i < t.points.size(); ++i) {
    const Point &p = t.points[i];
    put_point(tour_id, int(i), p.preset, p.position, p.speed, p.wait, p.view);
  }
}

inline int calls(const char *call) { return param_store_testing_calls(call); }

} // namespace temp_store

/* The engine's (preset_tour.h), for the tests that link it: Running as its
 * writer thread last left it. */
void preset_tour_flush_running_writes(void);
inline std::string running_of(int tour_id) {
  preset_tour_flush_running_writes();
  return temp_store::stored(temp_store::tour(tour_id, "Running"));
}

class TempStoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    g_autoptr(GError) error = nullptr;
    g_autofree char *dir = g_dir_make_tmp("patrold-test-XXXXXX", &error);
    ASSERT_NE(dir, nullptr) << error->message;
    dir_ = dir;
    path_ = dir_ + "/params.db";
    g_setenv("PARAM_STORE_PATH", path_.c_str(), TRUE);
    param_store_testing_reset();
  }
  void TearDown() override {
    param_store_testing_reset();
    param_store_testing_close_connection();
    EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }
  std::string dir_, path_;
};
