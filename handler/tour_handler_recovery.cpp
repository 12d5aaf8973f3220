#include <cstring>

#include "tour_confhub.h"
#include "tour_handler.h"
#include "tour_handler_internal.h"

/*
 * Start-up recovery: Running is left "yes" on exit, so the tours that were
 * playing are found again here. A camera claimed by several running tours
 * is ambiguous; rather than guess, none of them is resumed and all are
 * marked not running.
 */

int32_t tour_handler_get_tour_state(TourState *state) {
  g_assert(state != NULL);
  state->running = 0;

  TourParam cam{};
  cam.type = GUARD_CAM_NBR;
  cam.tour_id = state->tour_id;
  state->camera_id = tour_confhub_get_parameter(&cam) == 0
                         ? cam.int_value
                         : TOUR_HANDLER_UNREADABLE_CAMERA;

  TourParam running{};
  running.type = GUARD_RUNNING;
  running.tour_id = state->tour_id;
  if (tour_confhub_get_parameter(&running) == 0 &&
      std::strcmp(running.str_value, "yes") == 0)
    state->running = 1;
  return 0;
}

int32_t tour_handler_set_confhub_running(const TourState *state) {
  g_assert(state != NULL);
  TourParam param{};
  param.type = GUARD_RUNNING;
  param.tour_id = state->tour_id;
  g_strlcpy(param.str_value, "no", sizeof param.str_value);
  return tour_confhub_set_parameter(&param);
}

namespace {

void recover_camera(TourHandler *self, int32_t camera_id, TourState *states,
                    int count) {
  TourState *candidate = nullptr;
  bool conflict = false;
  for (int i = 0; i < count; ++i) {
    TourState &state = states[i];
    if (state.camera_id != camera_id || state.running != 1)
      continue;
    if (candidate == nullptr) {
      candidate = &state;
      continue;
    }
    conflict = true;
    tour_handler_set_confhub_running(&state);
    state.running = 0;
  }
  if (candidate == nullptr)
    return;
  if (conflict) {
    tour_handler_set_confhub_running(candidate);
    return;
  }
  if (PresetTour *tour =
          tour_handler_get_preset_tour_from_camera_id(self, camera_id))
    preset_tour_play_tour(tour, camera_id, candidate->tour_id);
}

} // namespace

void tour_handler_startup_helper(TourHandler *self) {
  g_assert(IS_TOUR_HANDLER(self));

  g_autofree int32_t *ids = nullptr;
  int count = tour_confhub_get_guard_tour_ids(&ids);
  if (count <= 0)
    return;

  g_autoptr(TourState) states = g_try_new0(TourState, count);
  if (states == nullptr)
    return;
  for (int i = 0; i < count; ++i) {
    states[i].tour_id = ids[i];
    /* A group "G-<n>" cannot be read by tour id: treat it as unreadable, so
     * it matches no camera and is left untouched. */
    if (ids[i] < 0) {
      states[i].camera_id = TOUR_HANDLER_UNREADABLE_CAMERA;
      states[i].running = 0;
      continue;
    }
    tour_handler_get_tour_state(&states[i]);
  }

  /* Only ids 1..8 are walked, so a CamNbr out of range never reaches the
   * slot lookup. */
  for (int32_t camera_id = 1; camera_id <= IMAGE_SOURCES; ++camera_id)
    recover_camera(self, camera_id, states, count);
}
