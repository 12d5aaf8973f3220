/*
 * tour_status_record: one camera's live status, the values of
 * com.vorn.PresetTourStatus.Camera: what patrold serves (tour_status) and
 * what its clients read back (tourctl, patrold-mqtt), one definition for
 * both. Texts are as patrold sent them. Times are microseconds since the
 * Unix epoch, 0 for none. Threads: any; no state of its own.
 */
#pragma once

#include <glib.h>

#include <cstdint>
#include <string>

struct TourStatusValues {
  int32_t camera = 0;
  int32_t tour_id = -1;
  std::string tour_name;
  std::string state = "idle";
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

/* Takes the known properties of an a{sv} (GetAll, GetManagedObjects or
 * PropertiesChanged) into `record`; unknown names and values of another
 * type are left alone, so a newer patrold never breaks an older client. */
void tour_status_record_apply(TourStatusValues &record, GVariant *properties);
