#include "tourctl.h"

#include <cstdio>

namespace tourctl {

namespace {

std::string shown(const std::optional<int32_t> &value) {
  return value ? std::to_string(*value) : "?";
}

std::string shown(const std::optional<std::string> &value) {
  return value ? tour_text_escape(*value) : "?";
}

/* A name is shown whole: patrold never reads it, so no word rule applies. */
std::string name_of(const Tour &tour) {
  const auto it = tour.values.find("Name");
  return it == tour.values.end() ? "" : tour_text_escape(it->second);
}

/* "RandomEnabled" other than exactly "yes" means ordered play. */
const char *order_of(const Tour &tour) {
  return stored_word(tour.values, "RandomEnabled").value_or("") == "yes" ? "random" : "ordered";
}

std::string pause_of(const Tour &tour) {
  const auto minutes = stored_int(tour.values, "TimeBetweenSequences");
  return minutes ? std::to_string(*minutes) + " min" : "?";
}

/* The dwell as patrold computes it, in seconds, and as configured. */
std::string dwell_of(const Point &point) {
  const auto seconds = dwell_seconds(point.values);
  if (!seconds)
    return "?";
  return std::to_string(*seconds) + " s (" + shown(stored_int(point.values, "WaitTime")) + " " +
         shown(stored_word(point.values, "WaitTimeViewType")) + ")";
}

/* patrold's listing fails on one child that is not a tour, and a tour's on
 * one that is not a point: say so, since nothing else would. */
void warn_strays(const Tours &tours) {
  for (const std::string &name : tours.stray)
    complain("%s.%s is not a tour (G and a number): while it is there, patrold finds no tours",
             kTourRoot, tour_text_escape(name).c_str());
}

} // namespace

Exit view_list() {
  const auto tours = store_load();
  if (!tours)
    return Exit::Failure;
  warn_strays(*tours);
  warn_schedule_overlaps(*tours);
  std::printf("%-5s %-20s %-6s %-7s %-8s %-8s %-6s %s\n", "ID", "NAME", "CAMERA", "RUNNING",
              "ORDER", "PAUSE", "POINTS", "SCHEDULE");
  for (const Tour &tour : tours->tours) {
    std::printf("%-5d %-20s %-6s %-7s %-8s %-8s %-6zu %s\n", tour.id, name_of(tour).c_str(),
                shown(stored_int(tour.values, "CamNbr")).c_str(),
                shown(stored_word(tour.values, "Running")).c_str(), order_of(tour),
                pause_of(tour).c_str(), tour.points.size(), schedule_shown(tour).c_str());
  }
  return Exit::Ok;
}

Exit view_show(int tour_id) {
  const auto tours = store_load();
  if (!tours)
    return Exit::Failure;
  warn_strays(*tours);
  const Tour *tour = tours->find(tour_id);
  if (!tour) {
    complain("no tour %d", tour_id);
    return Exit::Failure;
  }
  if (const auto why = unplayable_reason(*tour))
    complain("tour %d cannot play: %s", tour_id, why->c_str());
  std::printf("tour %d \"%s\": camera %s, running %s, %s, %s between rounds, schedule %s\n",
              tour->id, name_of(*tour).c_str(), shown(stored_int(tour->values, "CamNbr")).c_str(),
              shown(stored_word(tour->values, "Running")).c_str(), order_of(*tour),
              pause_of(*tour).c_str(), schedule_shown(*tour).c_str());
  std::printf("%-4s %-6s %-7s %-9s %-6s %s\n", "STEP", "POINT", "PRESET", "POSITION", "SPEED",
              "DWELL");
  int step = 1;
  for (const Point *point : visiting_order(*tour)) {
    std::printf("%-4d T%-5d %-7s %-9s %-6s %s\n", step++, point->id,
                shown(stored_int(point->values, "PresetNbr")).c_str(),
                shown(stored_int(point->values, "Position")).c_str(),
                shown(stored_int(point->values, "MoveSpeed")).c_str(), dwell_of(*point).c_str());
  }
  return Exit::Ok;
}

} // namespace tourctl
