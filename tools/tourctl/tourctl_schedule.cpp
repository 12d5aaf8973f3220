/*
 * schedule: a tour's weekly timetable, checked with patrold's own reader
 * before it is written, then patrold told to read it again; and how
 * timetables are shown and where two tours of one camera collide.
 */
#include "tourctl.h"

#include "tour_schedule.h"

#include <cstdio>
#include <ctime>

namespace tourctl {

namespace {

constexpr const char *kScheduleInterface = "com.vorn.PresetTourSchedule";
constexpr const char *kSchedulePath = "/com/vorn/PresetTourSchedule";

/* The tour's stored timetable, nullopt when it has none; "" for text that
 * patrold reads as no timetable is none too. */
std::optional<TourScheduleWindows> windows_of(const Tour &tour) {
  const auto it = tour.values.find("Schedule");
  TourScheduleWindows windows;
  TourScheduleError error;
  if (it == tour.values.end() ||
      !tour_schedule_parse(it->second, &windows, &error) || windows.empty())
    return std::nullopt;
  return windows;
}

/* Tells patrold; it is not an error that patrold is not running. */
Exit reload() {
  g_autoptr(GDBusConnection) bus = bus_open();
  if (!bus)
    return Exit::Failure;
  if (!daemon_on_bus(bus)) {
    std::printf(
        "patrold is not running; it reads the timetable when it starts\n");
    return Exit::Ok;
  }
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "com.vorn.PresetTour", kSchedulePath, kScheduleInterface, "Reload",
      nullptr, G_VARIANT_TYPE_UNIT, G_DBUS_CALL_FLAGS_NO_AUTO_START, 10000,
      nullptr, &error);
  if (reply)
    return Exit::Ok;
  g_dbus_error_strip_remote_error(error);
  complain("stored, but patrold did not reload: %s", error->message);
  return Exit::Failure;
}

} // namespace

Exit run_schedule(int tour_id, const std::optional<std::string> &text) {
  TourScheduleWindows windows;
  TourScheduleError error;
  if (text && !tour_schedule_parse(*text, &windows, &error)) {
    complain("the timetable cannot be read at column %zu: %s", error.column,
             error.what);
    return Exit::Usage;
  }
  const Exit written = store_set_leaf(tour_id, "Schedule", text.value_or(""));
  return written == Exit::Ok ? reload() : written;
}

std::string schedule_shown(const Tour &tour) {
  const auto it = tour.values.find("Schedule");
  if (it == tour.values.end() ||
      it->second.find_first_not_of(" \t") == std::string::npos)
    return "-";
  TourScheduleWindows windows;
  TourScheduleError error;
  const std::string shown = tour_text_bounded(it->second, TOUR_TEXT_VALUE_MAX);
  if (tour_schedule_parse(it->second, &windows, &error))
    return shown;
  return shown + " (unreadable at column " + std::to_string(error.column) +
         ": ignored)";
}

std::string schedule_next(const CameraStatus &camera) {
  if (camera.schedule_action.empty())
    return "-";
  const std::string action = tour_text_escape(camera.schedule_action);
  if (camera.schedule_next == 0)
    return action;
  /* An edge may be days away: the weekday and local time, as written. */
  const time_t seconds =
      static_cast<time_t>(camera.schedule_next / G_USEC_PER_SEC);
  struct tm local {};
  char when[32] = "?";
  if (localtime_r(&seconds, &local))
    std::strftime(when, sizeof when, "%a %H:%M", &local);
  return std::string(when) + " " + action;
}

std::vector<ScheduleOverlap> schedule_overlaps(const Tours &tours) {
  std::vector<ScheduleOverlap> out;
  for (size_t i = 0; i < tours.tours.size(); ++i) {
    const Tour &a = tours.tours[i];
    const auto camera = stored_int(a.values, "CamNbr");
    const auto windows_a = windows_of(a);
    for (size_t j = i + 1; camera && windows_a && j < tours.tours.size(); ++j) {
      const Tour &b = tours.tours[j];
      const auto windows_b = windows_of(b);
      if (windows_b && stored_int(b.values, "CamNbr") == camera &&
          tour_schedule_overlap(*windows_a, *windows_b))
        out.push_back({a.id, b.id, *camera});
    }
  }
  return out;
}

void warn_schedule_overlaps(const Tours &tours) {
  for (const ScheduleOverlap &o : schedule_overlaps(tours))
    complain("tours %d and %d of camera %d have overlapping timetables: the "
             "window that "
             "starts last has the camera",
             o.first, o.second, o.camera);
}

} // namespace tourctl
