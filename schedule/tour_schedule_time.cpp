/*
 * tour_schedule, the evaluation: a timetable of local wall times turned
 * into instants around `now`, through GTimeZone alone. The windows of the
 * days from two before to eight after today are laid out and merged, so
 * overlapping or touching windows of one tour make one stretch, and a
 * weekly pattern shows every edge it has within the week ahead.
 */
#include "tour_schedule.h"

#include <algorithm>

namespace {

constexpr int64_t DAY = 24 * 60 * 60;
constexpr int DAYS_BEFORE = 2, DAYS_AFTER = 8;
/* Edges later than this are the lay-out's own end, not the timetable's. */
constexpr int64_t EDGE_HORIZON = 7 * DAY + DAY / 2;

int32_t offset_at(GTimeZone *zone, int64_t instant) {
  return g_time_zone_get_offset(
      zone, g_time_zone_find_interval(zone, G_TIME_TYPE_UNIVERSAL, instant));
}

int64_t floor_div(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

/* The instant of local wall time `local` (seconds, the epoch's reckoning). */
int64_t instant_of(GTimeZone *zone, int64_t local) {
  const int32_t before = offset_at(zone, local - DAY);
  const int32_t after = offset_at(zone, local + DAY);
  const int64_t early = local - std::max(before, after);
  const int64_t late = local - std::min(before, after);
  /* Both readings exist in a repeated hour: the earlier one. */
  for (int64_t t : {early, late})
    if (t + offset_at(zone, t) == local)
      return t;
  /* Skipped: the change itself, the first instant after the gap. */
  int64_t lo = early, hi = late;
  const int32_t first = offset_at(zone, lo);
  while (hi - lo > 1) {
    const int64_t mid = lo + (hi - lo) / 2;
    (offset_at(zone, mid) == first ? lo : hi) = mid;
  }
  return hi;
}

struct Stretch {
  int64_t from, to;
};

std::vector<Stretch> lay_out(const TourScheduleWindows &windows,
                             GTimeZone *zone, int64_t now) {
  const int64_t today = floor_div(now + offset_at(zone, now), DAY);
  std::vector<Stretch> stretches;
  for (int64_t day = today - DAYS_BEFORE; day <= today + DAYS_AFTER; ++day) {
    /* 1970-01-01 was a Thursday; bit 0 is Monday. */
    const int weekday = int(((day + 3) % 7 + 7) % 7);
    for (const TourScheduleWindow &w : windows) {
      if ((w.days & (1u << weekday)) == 0)
        continue;
      const int64_t end_day = w.end <= w.start ? day + 1 : day;
      const int64_t from = instant_of(zone, day * DAY + w.start * 60);
      const int64_t to = instant_of(zone, end_day * DAY + w.end * 60);
      if (to > from)
        stretches.push_back({from, to});
    }
  }
  std::sort(stretches.begin(), stretches.end(),
            [](const Stretch &a, const Stretch &b) { return a.from < b.from; });
  std::vector<Stretch> merged;
  for (const Stretch &s : stretches) {
    if (!merged.empty() && s.from <= merged.back().to)
      merged.back().to = std::max(merged.back().to, s.to);
    else
      merged.push_back(s);
  }
  return merged;
}

} // namespace

TourSchedulePlace tour_schedule_place(const TourScheduleWindows &windows,
                                      GTimeZone *zone, int64_t now) {
  TourSchedulePlace place;
  for (const Stretch &s : lay_out(windows, zone, now)) {
    if (s.from <= now && now < s.to) {
      place.inside = true;
      place.since = s.from;
    }
    for (int64_t edge : {s.from, s.to})
      if (edge > now && edge - now <= EDGE_HORIZON &&
          (place.next_edge == 0 || edge < place.next_edge))
        place.next_edge = edge;
  }
  return place;
}
