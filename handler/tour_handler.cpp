#include "tour_handler.h"

#include <algorithm>
#include <syslog.h>

#include "ptz_common.h"
#include "tour_confhub.h"
#include "tour_handler_internal.h"
#include "tour_interface.h"

G_DEFINE_TYPE(TourHandler, tour_handler, G_TYPE_OBJECT)

/* The quark's text names the domain in every bus error clients see
 * ("...Quark._tour_5fhandler_5ferror_5fquark.Code50"): it stays as it is. */
G_DEFINE_QUARK(tour_handler_error_quark, tour_handler_error)

namespace {

constexpr const char *OUT_OF_RANGE_MESSAGE = "Image source id out of range";

/* The bus caller is answered as soon as the request is queued; what the
 * request then does is only logged, by the processor. */
gboolean queue_tour_request(TourHandler *self, TourActionKind kind,
                            int32_t tour_id, const char *failure,
                            GError **error) {
  TourAction *action = g_try_new0(TourAction, 1);
  if (action == nullptr) {
    g_set_error_literal(error, TOUR_HANDLER_ERROR, TOUR_HANDLER_ERROR_FAILED,
                        failure);
    syslog(LOG_ERR, "%s", failure);
    return FALSE;
  }
  action->kind = kind;
  action->tour_id = tour_id;
  tour_handler_push_action(self, action);
  return TRUE;
}

gboolean check_camera_range(int32_t camera_id, GError **error) {
  if (tour_handler_camera_in_range(camera_id))
    return TRUE;
  g_set_error_literal(error, TOUR_HANDLER_ERROR,
                      TOUR_HANDLER_ERROR_OUT_OF_RANGE, OUT_OF_RANGE_MESSAGE);
  syslog(LOG_ERR, "%s", OUT_OF_RANGE_MESSAGE);
  return FALSE;
}

} // namespace

PresetTour *tour_handler_peek_slot(TourHandler *self, int32_t camera_id) {
  g_return_val_if_fail(IS_TOUR_HANDLER(self), nullptr);
  if (!tour_handler_camera_in_range(camera_id))
    return nullptr;
  return self->preset_tours[tour_handler_slot(camera_id)];
}

gboolean tour_handler_is_blocked(TourHandler *self, int32_t camera_id) {
  g_return_val_if_fail(IS_TOUR_HANDLER(self), FALSE);
  return tour_handler_camera_in_range(camera_id) &&
         self->playback_blocked[tour_handler_slot(camera_id)] != 0;
}

gboolean tour_handler_has_pending_requests(TourHandler *self) {
  g_return_val_if_fail(IS_TOUR_HANDLER(self), FALSE);
  return self->idle_id != 0;
}

static void tour_handler_finalize(GObject *object) {
  TourHandler *self = TOUR_HANDLER(object);

  if (self->idle_id != 0) {
    g_source_remove(self->idle_id);
    self->idle_id = 0;
  }
  if (self->timeout_id != 0) {
    g_source_remove(self->timeout_id);
    self->timeout_id = 0;
  }
  /* Tours keep playing in the store's view: Running stays "yes" so that the
   * next start resumes them. */
  for (PresetTour *&tour : self->preset_tours)
    g_clear_object(&tour);
  /* Stops of the last moments hand their Running writes to a worker; wait
   * for them, so that once the handler is gone the store says what it last
   * did. */
  preset_tour_flush_running_writes();
  g_queue_free_full(self->action_queue, g_free);
  self->action_queue = nullptr;
  control_queue_events_cleanup();
  tour_interface_cleanup();

  G_OBJECT_CLASS(tour_handler_parent_class)->finalize(object);
}

static void tour_handler_class_init(TourHandlerClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = tour_handler_finalize;
}

static void tour_handler_init(TourHandler *self) {
  self->preset_tours.fill(nullptr);
  self->playback_blocked.fill(0);
  self->timeout_id = 0;
  self->idle_id = 0;
  /* Bus callbacks only run once the main loop does, so the service may be
   * set up before the queue exists. */
  tour_interface_init(self);
  self->action_queue = g_queue_new();
  control_queue_events_init(tour_handler_control_queue_cb, self);
  tour_handler_startup_helper(self);
}

gboolean tour_handler_play_preset_tour(TourHandler *self, int32_t tour_id,
                                       GError **error) {
  return queue_tour_request(self, TOUR_ACTION_PLAY, tour_id,
                            "Failed to play tour", error);
}

gboolean tour_handler_stop_preset_tour(TourHandler *self, int32_t tour_id,
                                       GError **error) {
  return queue_tour_request(self, TOUR_ACTION_STOP, tour_id,
                            "Failed to stop tour", error);
}

gboolean tour_handler_pause_preset_tour(TourHandler *self, int32_t tour_id,
                                        GError **error) {
  return queue_tour_request(self, TOUR_ACTION_PAUSE, tour_id,
                            "Failed to pause tour", error);
}

gboolean tour_handler_resume_preset_tour(TourHandler *self, int32_t tour_id,
                                         GError **error) {
  return queue_tour_request(self, TOUR_ACTION_RESUME, tour_id,
                            "Failed to resume tour", error);
}

gboolean tour_handler_set_preset_tour_running(TourHandler *self,
                                              const char *running,
                                              const char *confhub_id,
                                              GError **error) {
  /* The store side names the group ("G12"); anything else means tour 0,
   * which is not an error. A number too large for a tour id names no tour
   * at all: wrapping it would act on another tour. */
  int32_t tour_id = 0;
  const int scanned = tour_confhub_scan_number(confhub_id, "G", &tour_id);
  if (scanned == TOUR_CONFHUB_NUMBER_TOO_LARGE)
    return TRUE;
  if (scanned != 0)
    tour_id = 0;

  if (g_strcmp0(running, "yes") == 0)
    return tour_handler_play_preset_tour(self, tour_id, error);
  if (g_strcmp0(running, "no") == 0)
    return tour_handler_stop_preset_tour(self, tour_id, error);
  return TRUE;
}

gboolean tour_handler_block_playback(TourHandler *self, int32_t camera_id,
                                     GError **error) {
  if (!check_camera_range(camera_id, error))
    return FALSE;
  int32_t &blocked = self->playback_blocked[tour_handler_slot(camera_id)];
  if (blocked != 0)
    return TRUE;
  /* Blocking acts at once, ahead of anything queued; queued plays for this
   * camera are refused when they are processed. */
  if (PresetTour *tour = tour_handler_peek_slot(self, camera_id))
    preset_tour_stop_tour(tour);
  blocked = 1;
  tour_handler_tell_observer(self);
  return TRUE;
}

gboolean tour_handler_unblock_playback(TourHandler *self, int32_t camera_id,
                                       GError **error) {
  if (!check_camera_range(camera_id, error))
    return FALSE;
  self->playback_blocked[tour_handler_slot(camera_id)] = 0;
  tour_handler_tell_observer(self);
  return TRUE;
}

gboolean tour_handler_driver_uninstalled(TourHandler *self, int32_t camera_id) {
  g_autoptr(TourAction) action = g_new0(TourAction, 1);
  action->kind = TOUR_ACTION_DRIVER_UNINSTALLED;
  action->camera_id = camera_id;
  tour_handler_push_action(self, g_steal_pointer(&action));
  return TRUE;
}

void tour_handler_set_observer(TourHandler *self, TourHandlerObserver observer,
                               gpointer data) {
  self->observer = observer;
  self->observer_data = data;
}

void tour_handler_push_action(TourHandler *self, TourAction *action) {
  g_queue_push_tail(self->action_queue, action);
  if (self->idle_id == 0)
    self->idle_id = g_idle_add(tour_handler_idle_cb, self);
}

gboolean tour_handler_idle_cb(gpointer self) {
  TourHandler *handler = TOUR_HANDLER(self);
  tour_handler_process_actions(handler);
  handler->idle_id = 0;
  tour_handler_tell_observer(handler);
  return G_SOURCE_REMOVE;
}

void tour_handler_update_timer(TourHandler *self) {
  /* An idle daemon must not wake up: the tick exists only while some engine
   * has a tour loaded. */
  bool any_active =
      std::any_of(self->preset_tours.begin(), self->preset_tours.end(),
                  [](const PresetTour *tour) {
                    return tour != nullptr && preset_tour_snapshot(tour).active;
                  });

  if (any_active) {
    if (self->timeout_id == 0)
      self->timeout_id =
          g_timeout_add(TOUR_HANDLER_TICK_MS, tour_handler_iterate_tours, self);
  } else if (self->timeout_id != 0) {
    g_source_remove(self->timeout_id);
    self->timeout_id = 0;
  }
}

gboolean tour_handler_iterate_tours(gpointer self) {
  g_assert(IS_TOUR_HANDLER(self));
  TourHandler *handler = TOUR_HANDLER(self);

  /* Processing may remove this very timeout; the stepping pass still runs
   * once, and returning CONTINUE on a removed source is harmless. */
  tour_handler_process_actions(handler);
  for (PresetTour *tour : handler->preset_tours)
    if (tour != nullptr)
      preset_tour_iterate_tour(tour);
  tour_handler_tell_observer(handler);
  return G_SOURCE_CONTINUE;
}
