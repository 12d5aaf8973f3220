/*
 * tour_confhub, plans: a tour read, ordered and timed the way a play loads
 * it, for the engine and for whoever shows or checks tours.
 */
#include "tour_confhub.h"

#include <algorithm>
#include <cstring>

#include <glib.h>

int32_t tour_confhub_wire_speed(int32_t speed) {
  return static_cast<int32_t>(static_cast<uint32_t>(speed) << 16);
}

bool tour_confhub_speed_carried(int32_t speed) {
  return tour_confhub_wire_speed(speed) / 65536 == speed;
}

int64_t tour_confhub_dwell_seconds(int32_t wait_time, int32_t pause_minutes,
                                   bool random, bool last_of_round) {
  int64_t dwell = wait_time;
  if (!random && last_of_round)
    dwell += int64_t{pause_minutes} * TOUR_CONFHUB_ROUND_PAUSE_UNIT;
  return dwell;
}

int tour_confhub_read_plan(int tour_id, TourPlan *plan,
                           TourPlanFailure *failure, int32_t *failed_point) {
  g_assert(tour_id >= 0);
  g_assert(plan != NULL && failure != NULL);
  *plan = TourPlan{};
  *failure = TourPlanFailure::NONE;

  TourParam param{};
  param.type = GUARD_TIME_BETWEEN_SEQUENCES;
  param.tour_id = tour_id;
  if (tour_confhub_get_parameter(&param) != 0) {
    *failure = TourPlanFailure::PAUSE;
    return -1;
  }
  plan->pause_minutes = param.int_value;

  param = TourParam{};
  param.type = GUARD_RANDOM_ENABLED;
  param.tour_id = tour_id;
  if (tour_confhub_get_parameter(&param) != 0) {
    *failure = TourPlanFailure::ORDER;
    return -1;
  }
  plan->random = std::strcmp(param.str_value, "yes") == 0;

  g_autofree int32_t *ids = nullptr;
  const int count = tour_confhub_get_preset_ids(tour_id, &ids);
  if (count <= 0) {
    *failure = TourPlanFailure::POINT_LIST;
    return -1;
  }
  /* A play puts each point at the front of its list, so the list starts in
   * the reverse of the store's order; an ordered tour is then sorted by
   * Position, stably, so ties keep that reversed order. */
  plan->points.resize(size_t(count));
  for (int i = 0; i < count; ++i) {
    TourPlanPoint &entry = plan->points[size_t(count - 1 - i)];
    entry.point_id = ids[i];
    if (tour_confhub_fetch_preset_point(tour_id, ids[i], &entry.point) != 0) {
      *failure = TourPlanFailure::POINT;
      if (failed_point != nullptr)
        *failed_point = ids[i];
      plan->points.clear();
      return -1;
    }
  }
  if (!plan->random)
    std::stable_sort(plan->points.begin(), plan->points.end(),
                     [](const TourPlanPoint &a, const TourPlanPoint &b) {
                       return a.point.position < b.point.position;
                     });
  for (size_t i = 0; i < plan->points.size(); ++i)
    plan->points[i].dwell = tour_confhub_dwell_seconds(
        plan->points[i].point.wait_time, plan->pause_minutes, plan->random,
        i + 1 == plan->points.size());
  return 0;
}
