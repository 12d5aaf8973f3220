/*
 * check: every problem patrold would meet in the stored tours, one line
 * each, naming the leaf, and what patrold then does. It only reads.
 */
#include "tourctl.h"

#include <cstdio>
#include <map>

namespace tourctl {

namespace {

struct Problem {
  int32_t tour;     /* -1: none in particular */
  std::string leaf; /* raw: escaped when printed */
  std::string text; /* tourctl's words, stored text in it already escaped */
};

std::string leaf_of_id(int32_t tour, const std::string &below) {
  return std::string(TOUR_ROOT_GROUP) + ".G" + std::to_string(tour) + below;
}

std::string leaf_of(const Tour &tour, const std::string &below) {
  return leaf_of_id(tour.id, below);
}

std::string point_leaf(const Tour &tour, int32_t point, const char *leaf) {
  return leaf_of(tour, ".Tour.T" + std::to_string(point) + "." + leaf);
}

/* The leaf a failed play stopped at. */
std::string failed_leaf(const Tour &tour, const std::string &reason) {
  if (!camera_of(&tour))
    return leaf_of(tour, ".CamNbr");
  switch (tour.failure) {
  case TourPlanFailure::PAUSE:
    return leaf_of(tour, ".TimeBetweenSequences");
  case TourPlanFailure::ORDER:
    return leaf_of(tour, ".RandomEnabled");
  case TourPlanFailure::POINT:
    for (const char *leaf : {"PresetNbr", "Position", "MoveSpeed", "WaitTime"})
      if (reason.find(std::string("the ") + leaf + " ") == 0)
        return point_leaf(tour, tour.failed_point, leaf);
    return point_leaf(tour, tour.failed_point, "WaitTimeViewType");
  default:
    return leaf_of(tour, tour.stray.empty() ? ".Tour"
                                            : ".Tour." + tour.stray.front());
  }
}

void check_plan(const Tour &tour, std::vector<Problem> &out) {
  const TourPlan &plan = *tour.plan;
  std::map<int32_t, std::vector<int32_t>> by_position;
  for (size_t i = 0; i < plan.points.size(); ++i) {
    const TourPlanPoint &e = plan.points[i];
    const int32_t speed = e.point.move_speed;
    if (!tour_confhub_speed_carried(speed))
      out.push_back(
          {tour.id, point_leaf(tour, e.point_id, "MoveSpeed"),
           std::to_string(speed) +
               " does not fit the coordinator call: the head "
               "gets speed " +
               std::to_string(tour_confhub_wire_speed(speed) / 65536)});
    else if (speed < TOUR_CONFHUB_SPEED_MIN || speed > TOUR_CONFHUB_SPEED_MAX)
      out.push_back({tour.id, point_leaf(tour, e.point_id, "MoveSpeed"),
                     std::to_string(speed) +
                         " is outside the coordinator's speeds 1 to 100"});
    if (e.point.wait_time == INT32_MAX || e.point.wait_time == INT32_MIN)
      out.push_back({tour.id, point_leaf(tour, e.point_id, "WaitTime"),
                     "the wait saturates at " +
                         std::to_string(e.point.wait_time) +
                         " s: more minutes than 32 bits of seconds hold"});
    if (e.dwell > INT32_MAX && e.dwell != e.point.wait_time)
      out.push_back({tour.id, leaf_of(tour, ".TimeBetweenSequences"),
                     "the round pause and the wait of T" +
                         std::to_string(e.point_id) + " add up to " +
                         std::to_string(e.dwell) +
                         " s: patrold's clock ends first, so the dwell is cut "
                         "to its end"});
    if (!plan.random)
      by_position[e.point.position].push_back(e.point_id);
  }
  for (const auto &[position, points] : by_position) {
    if (points.size() < 2)
      continue;
    std::string order;
    for (const int32_t point : points)
      order += (order.empty() ? "T" : ", T") + std::to_string(point);
    out.push_back({tour.id, point_leaf(tour, points.front(), "Position"),
                   std::to_string(position) + " is the Position of " +
                       std::to_string(points.size()) +
                       " points: patrold visits them as " + order});
  }
}

std::vector<Problem> problems_of(const Tours &tours) {
  std::vector<Problem> out;
  for (const std::string &name : tours.stray)
    out.push_back({-1, std::string(TOUR_ROOT_GROUP) + "." + name,
                   "not a tour (G and a number): patrold's listing fails on "
                   "it, so start-up "
                   "resumes no tour and a removed driver deletes none"});
  for (const auto &[name, id] : tours.aliases)
    out.push_back({id, std::string(TOUR_ROOT_GROUP) + "." + name,
                   "patrold takes it for tour " + std::to_string(id) +
                       " and reads G" + std::to_string(id) +
                       " instead: nothing under it is read, and with two "
                       "groups of one tour start-up never resumes it"});
  std::map<int32_t, std::vector<int32_t>> running_on;
  for (const Tour &tour : tours.tours) {
    const auto camera = camera_of(&tour);
    if (camera && stored_word(tour.values, "Running") == "yes")
      running_on[*camera].push_back(tour.id);
    if (const auto why = unplayable_reason(tour)) {
      out.push_back({tour.id, failed_leaf(tour, *why),
                     *why + ": patrold does not play the tour; a play sets "
                            "Running to \"no\""});
      continue;
    }
    check_plan(tour, out);
  }
  for (const auto &[camera, ids] : running_on) {
    if (ids.size() < 2)
      continue;
    for (const int32_t id : ids)
      out.push_back(
          {id,
           std::string(TOUR_ROOT_GROUP) + ".G" + std::to_string(id) +
               ".Running",
           "\"yes\" for " + std::to_string(ids.size()) + " tours of camera " +
               std::to_string(camera) +
               ": start-up resumes none of them and sets each to \"no\""});
  }
  for (const ScheduleOverlap &o : schedule_overlaps(tours))
    out.push_back({o.first, leaf_of_id(o.first, ".Schedule"),
                   "its timetable overlaps that of tour " +
                       std::to_string(o.second) + " on camera " +
                       std::to_string(o.camera) +
                       ": the window that starts last has the camera"});
  return out;
}

} // namespace

Exit run_check(bool json) {
  const auto tours = store_load();
  if (!tours)
    return Exit::Failure;
  const std::vector<Problem> problems = problems_of(*tours);
  if (json) {
    std::printf("[");
    const char *separator = "\n  ";
    for (const Problem &p : problems) {
      std::printf("%s{\"Tour\": %s, \"Leaf\": %s, \"Problem\": %s}", separator,
                  p.tour < 0 ? "null" : std::to_string(p.tour).c_str(),
                  json_string(tour_text_bounded(p.leaf)).c_str(),
                  json_string(p.text).c_str());
      separator = ",\n  ";
    }
    std::printf(problems.empty() ? "]\n" : "\n]\n");
  } else {
    for (const Problem &p : problems)
      std::printf("%s: %s\n", tour_text_bounded(p.leaf).c_str(),
                  p.text.c_str());
  }
  return problems.empty() ? Exit::Ok : Exit::Failure;
}

} // namespace tourctl
