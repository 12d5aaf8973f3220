/*
 * The handler's instance, its request records and the functions its source
 * files share; not part of its surface (tour_handler.h).
 * Files: tour_handler.cpp (object, request queue, tick),
 * tour_handler_process.cpp (request processing, slot lookup),
 * tour_handler_recovery.cpp (start-up recovery),
 * tour_handler_events.cpp (control events).
 */
#pragma once

#include <array>
#include <glib.h>
#include <stdint.h>

#include "tour_handler.h"

enum TourActionKind : int32_t {
  TOUR_ACTION_PLAY = 0,
  TOUR_ACTION_STOP = 1,
  TOUR_ACTION_PAUSE = 2,
  TOUR_ACTION_RESUME = 3,
  TOUR_ACTION_DRIVER_UNINSTALLED = 4,
};

/* A queued request. kind is a plain int32_t so that an unknown value can be
 * represented and reported. tour_id is set for kinds 0..3, camera_id for 4. */
struct TourAction {
  int32_t kind;
  int32_t tour_id;
  int32_t camera_id;
};

/* The start-up recovery's view of one tour. camera_id is -10 when CamNbr
 * cannot be read; running is 1 when Running reads exactly "yes". */
struct TourState {
  int32_t tour_id;
  int32_t camera_id;
  int32_t running;
};

constexpr int32_t TOUR_HANDLER_UNREADABLE_CAMERA = -10;

G_DEFINE_AUTOPTR_CLEANUP_FUNC(TourAction, g_free)
G_DEFINE_AUTOPTR_CLEANUP_FUNC(TourState, g_free)

struct _TourHandler {
  GObject parent_instance;

  std::array<PresetTour *, IMAGE_SOURCES> preset_tours; /* owned, or null */
  std::array<int32_t, IMAGE_SOURCES> playback_blocked;
  GQueue *action_queue; /* of owned TourAction */
  guint timeout_id;
  guint idle_id;
  TourHandlerObserver observer; /* null while nobody follows */
  gpointer observer_data;
};

/* Queue and tick (tour_handler.cpp) */
void tour_handler_push_action(TourHandler *self, TourAction *action);
gboolean tour_handler_idle_cb(gpointer self);
gboolean tour_handler_iterate_tours(gpointer self);

/* Request processing (tour_handler_process.cpp) */
void tour_handler_process_actions(TourHandler *self);
int32_t tour_handler_get_camera_id(int32_t tour_id);
gboolean tour_handler_has_tour(TourHandler *self, int32_t tour_id);
PresetTour *tour_handler_get_preset_tour_from_camera_id(TourHandler *self,
                                                        int32_t camera_id);

/* Start-up recovery (tour_handler_recovery.cpp) */
int32_t tour_handler_get_tour_state(TourState *state);
int32_t tour_handler_set_confhub_running(const TourState *state);
void tour_handler_startup_helper(TourHandler *self);

/* Control events (tour_handler_events.cpp) */
int tour_handler_control_queue_cb(void *user_data, int camera_id,
                                  const char *client_name);

/* Camera ids arrive from clients, the store and the coordinator unchecked;
 * every table access goes through this test first. */
constexpr bool tour_handler_camera_in_range(int32_t camera_id) {
  return camera_id >= 1 && camera_id <= IMAGE_SOURCES;
}

constexpr size_t tour_handler_slot(int32_t camera_id) {
  return static_cast<size_t>(camera_id - 1);
}

inline void tour_handler_tell_observer(TourHandler *self) {
  if (self->observer != nullptr)
    self->observer(self->observer_data);
}

/* The tour an engine holds, -1 for none. */
inline int32_t tour_handler_tour_of(const PresetTour *tour) {
  return preset_tour_snapshot(tour).tour_id;
}
