#include "tour_status_record.h"

#include <string_view>

void tour_status_record_apply(TourStatusValues &record, GVariant *properties) {
  GVariantIter iter;
  const char *name = nullptr;
  GVariant *value = nullptr;
  g_variant_iter_init(&iter, properties);
  while (g_variant_iter_loop(&iter, "{&sv}", &name, &value)) {
    const std::string_view key = name;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT32)) {
      const int32_t number = g_variant_get_int32(value);
      if (key == "Camera")
        record.camera = number;
      else if (key == "TourId")
        record.tour_id = number;
      else if (key == "PointIndex")
        record.point_index = number;
      else if (key == "Preset")
        record.preset = number;
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
      const char *text = g_variant_get_string(value, nullptr);
      if (key == "TourName")
        record.tour_name = text;
      else if (key == "State")
        record.state = text;
      else if (key == "LastError")
        record.last_error = text;
      else if (key == "ScheduleNextAction")
        record.schedule_action = text;
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT64)) {
      const uint64_t time = g_variant_get_uint64(value);
      if (key == "StateSince")
        record.state_since = time;
      else if (key == "DwellUntil")
        record.dwell_until = time;
      else if (key == "LastErrorTime")
        record.last_error_time = time;
      else if (key == "ScheduleNext")
        record.schedule_next = time;
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) &&
               key == "Blocked") {
      record.blocked = g_variant_get_boolean(value);
    }
  }
}
