#include "tourctl.h"

#include <cstdio>

namespace tourctl {

namespace {

std::string shown(const std::optional<int> &value) {
  return value ? std::to_string(*value) : "?";
}

std::string shown(const std::optional<std::string> &value) { return value.value_or("?"); }

/* A name is shown whole: patrold never reads it, so no word rule applies. */
std::string name_of(const Tour &tour) {
  const auto it = tour.values.find("Name");
  return it == tour.values.end() ? "" : it->second;
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
  const auto wait = stored_int(point.values, "WaitTime");
  const auto unit = stored_word(point.values, "WaitTimeViewType");
  if (!wait || !unit)
    return "?";
  const int seconds = *unit == "Minutes" ? *wait * 60 : *wait;
  return std::to_string(seconds) + " s (" + std::to_string(*wait) + " " + *unit + ")";
}

} // namespace

Exit view_list() {
  const auto tours = store_load();
  if (!tours) {
    complain("cannot read the parameter store");
    return Exit::Failure;
  }
  std::printf("%-5s %-20s %-6s %-7s %-8s %-8s %s\n", "ID", "NAME", "CAMERA", "RUNNING",
              "ORDER", "PAUSE", "POINTS");
  for (const Tour &tour : *tours) {
    std::printf("%-5d %-20s %-6s %-7s %-8s %-8s %zu\n", tour.id,
                name_of(tour).c_str(),
                shown(stored_int(tour.values, "CamNbr")).c_str(),
                shown(stored_word(tour.values, "Running")).c_str(), order_of(tour),
                pause_of(tour).c_str(), tour.points.size());
  }
  return Exit::Ok;
}

Exit view_show(int tour_id) {
  const auto tours = store_load();
  if (!tours) {
    complain("cannot read the parameter store");
    return Exit::Failure;
  }
  for (const Tour &tour : *tours) {
    if (tour.id != tour_id)
      continue;
    std::printf("tour %d \"%s\": camera %s, running %s, %s, %s between rounds\n", tour.id,
                name_of(tour).c_str(),
                shown(stored_int(tour.values, "CamNbr")).c_str(),
                shown(stored_word(tour.values, "Running")).c_str(), order_of(tour),
                pause_of(tour).c_str());
    std::printf("%-4s %-6s %-7s %-9s %-6s %s\n", "STEP", "POINT", "PRESET", "POSITION",
                "SPEED", "DWELL");
    int step = 1;
    for (const Point *point : visiting_order(tour)) {
      std::printf("%-4d T%-5d %-7s %-9s %-6s %s\n", step++, point->id,
                  shown(stored_int(point->values, "PresetNbr")).c_str(),
                  shown(stored_int(point->values, "Position")).c_str(),
                  shown(stored_int(point->values, "MoveSpeed")).c_str(),
                  dwell_of(*point).c_str());
    }
    return Exit::Ok;
  }
  complain("no tour %d", tour_id);
  return Exit::Failure;
}

} // namespace tourctl
