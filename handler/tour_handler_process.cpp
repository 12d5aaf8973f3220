#include <syslog.h>

#include "tour_confhub.h"
#include "tour_handler.h"
#include "tour_handler_internal.h"

/*
 * Request processing. Input that really arrives is refused here, before it
 * can reach an assertion elsewhere:
 *  - A negative tour id (a client may send one) would be a programming error
 *    in the parameter access and would match engines holding no tour. It is
 *    dropped with one warning, before anything is read or written.
 *  - A CamNbr of 0 or above 8 (a store edited by hand) never indexes the
 *    handler's tables: a play is refused like any play not carried out
 *    (Running "no"), a stop falls back to the engine that holds the tour, as
 *    when CamNbr is unreadable, and pause or resume do nothing. Negative
 *    values are the unreadable case.
 *  - A driver-uninstalled camera id outside 1..8 stops nothing and deletes
 *    nothing: no tour of a consistent store can name such a camera, and
 *    deleting groups on the strength of a malformed signal would destroy
 *    configuration for no reason.
 */

namespace {

void warn_camera_out_of_range(int32_t camera_id, int32_t tour_id) {
  syslog(LOG_WARNING, "Camera id %d of tour %d out of range", camera_id,
         tour_id);
}

void write_not_running(int32_t tour_id) {
  preset_tour_update_running_state(tour_id, 0);
}

void stop_first_holder(TourHandler *self, int32_t tour_id) {
  for (PresetTour *tour : self->preset_tours) {
    if (tour != nullptr && tour_handler_tour_of(tour) == tour_id) {
      if (preset_tour_stop_tour(tour) != 0)
        syslog(LOG_WARNING, "Failed to stop playing tour");
      return;
    }
  }
}

void process_play(TourHandler *self, int32_t tour_id) {
  /* Loaded anywhere (playing, paused or held): a play never restarts it. */
  if (tour_handler_has_tour(self, tour_id))
    return;

  int32_t camera_id = tour_handler_get_camera_id(tour_id);
  if (camera_id < 0) {
    syslog(LOG_WARNING, "Failed to fetch camera_id");
    write_not_running(tour_id);
    return;
  }
  if (!tour_handler_camera_in_range(camera_id)) {
    warn_camera_out_of_range(camera_id, tour_id);
    write_not_running(tour_id);
    return;
  }
  if (self->playback_blocked[tour_handler_slot(camera_id)] != 0) {
    write_not_running(tour_id);
    return;
  }

  PresetTour *tour =
      tour_handler_get_preset_tour_from_camera_id(self, camera_id);
  if (tour == nullptr) {
    syslog(LOG_ERR, "Failed to get/create PresetTour object");
    write_not_running(tour_id);
    return;
  }
  /* One tour per camera: the new request replaces whatever plays there. */
  if (tour_handler_tour_of(tour) != tour_id)
    preset_tour_stop_tour(tour);
  if (preset_tour_play_tour(tour, camera_id, tour_id) != 0) {
    syslog(LOG_WARNING, "Failed to play tour");
    write_not_running(tour_id);
  }
}

void process_stop(TourHandler *self, int32_t tour_id) {
  if (!tour_handler_has_tour(self, tour_id))
    return;

  int32_t camera_id = tour_handler_get_camera_id(tour_id);
  if (!tour_handler_camera_in_range(camera_id)) {
    if (camera_id >= 0)
      warn_camera_out_of_range(camera_id, tour_id);
    stop_first_holder(self, tour_id);
    return;
  }
  /* The tour's camera decides: an engine elsewhere that still holds it (the
   * store was edited since) is left alone. */
  PresetTour *tour = tour_handler_peek_slot(self, camera_id);
  if (tour != nullptr && tour_handler_tour_of(tour) == tour_id &&
      preset_tour_stop_tour(tour) != 0)
    syslog(LOG_WARNING, "Failed to stop playing tour");
}

/* The engine for a pause or resume of `tour_id`, created if its slot was
 * empty; null when nothing is to be done (already logged). */
PresetTour *engine_for_request(TourHandler *self, int32_t tour_id,
                               int32_t *camera_id) {
  *camera_id = tour_handler_get_camera_id(tour_id);
  if (*camera_id < 0) {
    syslog(LOG_WARNING, "Failed to fetch camera_id");
    return nullptr;
  }
  if (!tour_handler_camera_in_range(*camera_id)) {
    warn_camera_out_of_range(*camera_id, tour_id);
    return nullptr;
  }
  PresetTour *tour =
      tour_handler_get_preset_tour_from_camera_id(self, *camera_id);
  if (tour == nullptr)
    syslog(LOG_ERR, "Failed to get/create PresetTour object");
  return tour;
}

void process_pause(TourHandler *self, int32_t tour_id) {
  int32_t camera_id = 0;
  PresetTour *tour = engine_for_request(self, tour_id, &camera_id);
  if (tour != nullptr && tour_handler_tour_of(tour) == tour_id &&
      preset_tour_pause_tour(tour) != 0)
    syslog(LOG_WARNING, "Failed to pause tour");
}

void process_resume(TourHandler *self, int32_t tour_id) {
  int32_t camera_id = 0;
  PresetTour *tour = engine_for_request(self, tour_id, &camera_id);
  if (tour != nullptr && tour_handler_tour_of(tour) == tour_id &&
      preset_tour_play_tour(tour, camera_id, tour_id) != 0)
    syslog(LOG_WARNING, "Failed to resume playing tour");
}

void process_driver_uninstalled(TourHandler *self, int32_t camera_id) {
  if (!tour_handler_camera_in_range(camera_id)) {
    syslog(LOG_WARNING, "Ignoring driver uninstall of camera id %d", camera_id);
    return;
  }
  PresetTour *tour = tour_handler_peek_slot(self, camera_id);
  if (tour != nullptr && tour_handler_tour_of(tour) != -1 &&
      preset_tour_stop_tour(tour) != 0) {
    /* Keep the configuration of a tour that may still be playing. */
    syslog(LOG_WARNING, "Failed to stop playing tour");
    return;
  }
  /* The stop hands its Running "no" to the writer thread. Should that write
   * land after the deletion below, it would bring back a group holding only
   * Running; the queue holds at most a few writes, so wait for them. */
  preset_tour_flush_running_writes();

  g_autofree int32_t *ids = nullptr;
  int count = tour_confhub_get_guard_tour_ids(&ids);
  for (int i = 0; i < count; ++i) {
    /* A group named "G-<n>" cannot be addressed by tour id; skip it. */
    if (ids[i] >= 0 && tour_handler_get_camera_id(ids[i]) == camera_id)
      tour_confhub_delete_group(ids[i]);
  }
}

bool is_tour_request(int32_t kind) {
  return kind >= TOUR_ACTION_PLAY && kind <= TOUR_ACTION_RESUME;
}

void process_action(TourHandler *self, const TourAction &action) {
  if (is_tour_request(action.kind) && action.tour_id < 0) {
    syslog(LOG_WARNING, "Ignoring request for invalid tour id %d",
           action.tour_id);
    return;
  }
  switch (action.kind) {
  case TOUR_ACTION_PLAY:
    process_play(self, action.tour_id);
    break;
  case TOUR_ACTION_STOP:
    process_stop(self, action.tour_id);
    break;
  case TOUR_ACTION_PAUSE:
    process_pause(self, action.tour_id);
    break;
  case TOUR_ACTION_RESUME:
    process_resume(self, action.tour_id);
    break;
  case TOUR_ACTION_DRIVER_UNINSTALLED:
    process_driver_uninstalled(self, action.camera_id);
    break;
  default:
    /* The platform's log monitoring matches this text as written, spelling
     * included: keep it. */
    syslog(LOG_ERR, "Errorious preset action: %d", action.kind);
    break;
  }
}

} // namespace

void tour_handler_process_actions(TourHandler *self) {
  while (!g_queue_is_empty(self->action_queue)) {
    g_autoptr(TourAction) action =
        static_cast<TourAction *>(g_queue_pop_head(self->action_queue));
    process_action(self, *action);
  }
  tour_handler_update_timer(self);
}

int32_t tour_handler_get_camera_id(int32_t tour_id) {
  TourParam param{};
  param.type = GUARD_CAM_NBR;
  param.tour_id = tour_id;
  if (tour_confhub_get_parameter(&param) != 0)
    return TOUR_HANDLER_UNREADABLE_CAMERA;
  return param.int_value;
}

gboolean tour_handler_has_tour(TourHandler *self, int32_t tour_id) {
  for (const PresetTour *tour : self->preset_tours)
    if (tour != nullptr && tour_handler_tour_of(tour) == tour_id)
      return TRUE;
  return FALSE;
}

PresetTour *tour_handler_get_preset_tour_from_camera_id(TourHandler *self,
                                                        int32_t camera_id) {
  g_assert(camera_id > 0);
  g_assert(camera_id <= IMAGE_SOURCES);
  g_assert(IS_TOUR_HANDLER(self));

  PresetTour *&slot = self->preset_tours[tour_handler_slot(camera_id)];
  if (slot != nullptr)
    return slot;
  slot = static_cast<PresetTour *>(g_object_new(PRESET_TOUR_TYPE, nullptr));
  if (slot == nullptr)
    syslog(LOG_ERR, "Failed to create PresetTour object");
  return slot;
}
