/*
 * The values one camera shows on com.vorn.PresetTourStatus.Camera, and the
 * table that turns each into its bus property. Times are microseconds since
 * the Unix epoch; 0 means "none".
 */
#pragma once

#include <array>
#include <stdint.h>
#include <string>

#include <glib.h>

struct TourStatusValues {
  int32_t camera = 0;
  int32_t tour_id = -1;
  std::string tour_name;
  const char *state = "idle"; /* one of the static state names */
  bool blocked = false;
  int32_t point_index = -1;
  int32_t preset = -1;
  uint64_t state_since = 0;
  uint64_t dwell_until = 0;
  std::string last_error;
  uint64_t last_error_time = 0;
  uint64_t schedule_next = 0;
  std::string schedule_action;

  bool operator==(const TourStatusValues &) const = default;
};

struct TourStatusField {
  const char *name;
  /* A new floating variant of the property's value. */
  GVariant *(*value)(const TourStatusValues &values);
};

/* In the order of the introspection document. */
extern const std::array<TourStatusField, 13> TOUR_STATUS_FIELDS;
