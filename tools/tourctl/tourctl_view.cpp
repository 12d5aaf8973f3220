/*
 * list and show: the store's tours as patrold reads them. Order, point
 * numbering and dwell come from the plan a play would load, so that INDEX
 * here is PointIndex in the live status.
 */
#include "tourctl.h"

#include <cstdio>

namespace tourctl {

namespace {

std::string number(const std::optional<int32_t> &value,
                   const char *none = "?") {
  return value ? std::to_string(*value) : none;
}

std::string json_number(const std::optional<int64_t> &value) {
  return value ? std::to_string(*value) : "null";
}

std::optional<int64_t> widen(const std::optional<int32_t> &value) {
  return value ? std::optional<int64_t>(*value) : std::nullopt;
}

std::string name_of(const Tour &tour) {
  const auto it = tour.values.find("Name");
  return it == tour.values.end() ? "" : tour_text_bounded(it->second);
}

bool random_of(const Tour &tour) {
  return tour.plan ? tour.plan->random
                   : stored_word(tour.values, "RandomEnabled") == "yes";
}

std::string pause_of(const Tour &tour) {
  return number(stored_int(tour.values, "TimeBetweenSequences")) + " min";
}

/* A dwell in seconds, with how it is made up when the round pause is in. */
std::string dwell_of(const Tour &tour, const TourPlanPoint &entry) {
  std::string text = std::to_string(entry.dwell) + " s";
  if (entry.dwell != entry.point.wait_time)
    text += " (" + std::to_string(entry.point.wait_time) + " s + " +
            std::to_string(tour.plan->pause_minutes) + " min between rounds)";
  return text;
}

/* patrold's listing fails on one child that is not a tour: say so, since
 * nothing else would. */
void warn_strays(const Tours &tours) {
  for (const std::string &name : tours.stray)
    complain("%s.%s is not a tour (G and a number): while it is there, patrold "
             "finds no tours",
             TOUR_ROOT_GROUP, tour_text_bounded(name, 64).c_str());
}

std::string tour_json(const Tour &tour, bool with_points) {
  const auto problem = unplayable_reason(tour);
  std::string out =
      "{\"Tour\": " + std::to_string(tour.id) +
      ", \"Name\": " + json_string(name_of(tour)) +
      ", \"Camera\": " + json_number(widen(stored_int(tour.values, "CamNbr"))) +
      ", \"Running\": " + json_string(stored_text(tour.values, "Running")) +
      ", \"Random\": " + (random_of(tour) ? "true" : "false") +
      ", \"PauseMinutes\": " +
      json_number(widen(stored_int(tour.values, "TimeBetweenSequences"))) +
      ", \"Problem\": " + (problem ? json_string(*problem) : "null");
  if (!with_points)
    return out + ", \"Points\": " + std::to_string(tour.points.size()) + "}";
  out += ", \"Points\": [";
  const char *separator = "";
  if (tour.plan) {
    for (size_t i = 0; i < tour.plan->points.size(); ++i) {
      const TourPlanPoint &e = tour.plan->points[i];
      out += separator;
      out += "{\"Index\": " + std::to_string(i) +
             ", \"Point\": " + std::to_string(e.point_id) +
             ", \"Preset\": " + std::to_string(e.point.preset_nbr) +
             ", \"Position\": " + std::to_string(e.point.position) +
             ", \"Speed\": " + std::to_string(e.point.move_speed) +
             ", \"Dwell\": " + std::to_string(e.dwell) + "}";
      separator = ", ";
    }
  } else {
    for (const Point &point : tour.points) {
      out += separator;
      out += "{\"Index\": null, \"Point\": " + std::to_string(point.id) +
             ", \"Preset\": " +
             json_number(widen(stored_int(point.values, "PresetNbr"))) +
             ", \"Position\": " +
             json_number(widen(stored_int(point.values, "Position"))) +
             ", \"Speed\": " +
             json_number(widen(stored_int(point.values, "MoveSpeed"))) +
             ", \"Dwell\": null}";
      separator = ", ";
    }
  }
  return out + "]}";
}

} // namespace

Exit view_list(bool json) {
  const auto tours = store_load();
  if (!tours)
    return Exit::Failure;
  warn_strays(*tours);
  warn_schedule_overlaps(*tours);
  if (json) {
    std::printf("[");
    const char *separator = "\n  ";
    for (const Tour &tour : tours->tours) {
      std::printf("%s%s", separator, tour_json(tour, false).c_str());
      separator = ",\n  ";
    }
    std::printf("\n]\n");
    return Exit::Ok;
  }
  std::printf("%-5s %-20s %-6s %-7s %-8s %-8s %-6s %s\n", "ID", "NAME",
              "CAMERA", "RUNNING", "ORDER", "PAUSE", "POINTS", "SCHEDULE");
  for (const Tour &tour : tours->tours) {
    /* Running is shown whole: a hostile value may push the columns after
     * it, but what patrold reads from it stays visible. */
    std::printf("%-5d %s %-6s %-7s %-8s %-8s %-6zu %s\n", tour.id,
                cell(name_of(tour), 20).c_str(),
                number(stored_int(tour.values, "CamNbr")).c_str(),
                stored_text(tour.values, "Running").c_str(),
                random_of(tour) ? "random" : "ordered", pause_of(tour).c_str(),
                tour.points.size(), schedule_shown(tour).c_str());
  }
  return Exit::Ok;
}

Exit view_show(int tour_id, bool json) {
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
  if (const TourPlanPoint *wrapped = wrapped_speed(*tour))
    complain("the MoveSpeed %d of point T%d reaches the coordinator as %d",
             wrapped->point.move_speed, wrapped->point_id,
             tour_confhub_wire_speed(wrapped->point.move_speed) / 65536);
  if (json) {
    std::printf("%s\n", tour_json(*tour, true).c_str());
    return Exit::Ok;
  }
  std::printf("tour %d \"%s\": camera %s, running %s, %s, %s between rounds, "
              "schedule %s\n",
              tour->id, name_of(*tour).c_str(),
              number(stored_int(tour->values, "CamNbr")).c_str(),
              stored_text(tour->values, "Running").c_str(),
              random_of(*tour) ? "random" : "ordered", pause_of(*tour).c_str(),
              schedule_shown(*tour).c_str());
  if (tour->plan && tour->plan->random)
    std::printf("random order: patrold goes from any INDEX to any other\n");
  std::printf("%-5s %-7s %-7s %-11s %-6s %s\n", "INDEX", "POINT", "PRESET",
              "POSITION", "SPEED", "DWELL");
  if (tour->plan) {
    for (size_t i = 0; i < tour->plan->points.size(); ++i) {
      const TourPlanPoint &e = tour->plan->points[i];
      std::printf("%-5zu T%-6d %-7d %-11d %-6s %s\n", i, e.point_id,
                  e.point.preset_nbr, e.point.position,
                  (std::to_string(e.point.move_speed) +
                   (tour_confhub_speed_carried(e.point.move_speed) ? "" : "!"))
                      .c_str(),
                  dwell_of(*tour, e).c_str());
    }
    return Exit::Ok;
  }
  for (const Point &point : tour->points)
    std::printf("%-5s T%-6d %-7s %-11s %-6s ?\n", "-", point.id,
                number(stored_int(point.values, "PresetNbr")).c_str(),
                number(stored_int(point.values, "Position")).c_str(),
                number(stored_int(point.values, "MoveSpeed")).c_str());
  return Exit::Ok;
}

} // namespace tourctl
