/*
 * The engine's instance and the helpers its source files share; not part
 * of its surface (preset_tour.h).
 * Files: preset_tour.cpp (object, preparation, snapshot),
 * preset_tour_step.cpp (stepping), preset_tour_control.cpp
 * (play/stop/pause/freeze), preset_tour_running.cpp (Running writer),
 * preset_tour_coordinator.cpp (coordinator calls).
 */
#pragma once

#include "patrold_names.h"
#include "preset_tour.h"

enum QueueAction : int32_t {
  QUEUE_ACTION_KEEPALIVE = 0,
  QUEUE_ACTION_LEAVE = 2,
  QUEUE_ACTION_ENTER = 3,
};

constexpr int32_t PRESET_TOUR_KEEPALIVE_INTERVAL_S = 10;
constexpr int32_t PRESET_TOUR_STILL_THRESHOLD = 49; /* ready above this */
constexpr int32_t PRESET_TOUR_GOTO_TICK_LIMIT = 600;
constexpr int PRESET_TOUR_DBUS_TIMEOUT_MS = 10000;

/* Fields in this order; flags hold 0 or 1. */
struct _PresetTour {
  GObject parent_instance;

  int32_t state; /* a PresetTourState; unknown values are reported */
  int32_t paused;
  int32_t frozen; /* belongs to the camera: survives reset and stop */
  int32_t moving;
  GDBusConnection *connection;
  GDBusProxy *proxy;
  char *client_name;
  TimeValue wait_until;
  TimeValue hold_start;
  TimeValue keepalive_at;
  int32_t camera_id;
  int32_t tour_id; /* -1 while no tour is loaded */
  int32_t time_between_sequences;
  int32_t active; /* a tour is loaded and playing (paused or held included) */
  int32_t random;
  int32_t current_index;
  GList *presets; /* of owned PresetPoint */
  int32_t target_position[3];
  int32_t goto_ticks;
  int32_t goto_attempts;
  int32_t head_moving;
  int32_t still_ticks;
  /* The last coordinator or store failure logged for this camera and when
   * (get_time), for whoever follows the engine; kept across stops, null
   * until the first one. */
  char *last_error;
  TimeValue last_error_at;
  /* Cancelled when the engine goes: a goto still out then completes
   * without touching it. */
  GCancellable *cancellable;
};

/* Preparation (preset_tour.cpp) */
void preset_tour_reset_tour(PresetTour *self);
int preset_tour_compare_preset_positions(const PresetPoint *preset_a,
                                         const PresetPoint *preset_b);

/* Stepping (preset_tour_step.cpp) */
void preset_tour_goto_preset(PresetTour *self, int preset_nbr, int move_speed);
int preset_tour_get_random_preset_position(PresetTour *self);
void preset_tour_preset_event_cb(void *user_data, int value);
void preset_tour_moving_event_cb(void *user_data, int value);
void preset_tour_goto_preset_done(GObject *source, GAsyncResult *result,
                                  gpointer user_data);

/* Coordinator client (preset_tour_coordinator.cpp) */
int preset_tour_control_queue(PresetTour *self, int action);
int preset_tour_get_position(PresetTour *self, int32_t position[3]);
void preset_tour_stop_ptz(PresetTour *self);
void preset_tour_register_to_dbus(PresetTour *self);
void preset_tour_deregister_from_dbus(PresetTour *self);

/* `from` plus `seconds`, held to the clock's range: a dwell too long for the
 * clock ends at the clock's last second, never wraps into the past. */
TimeValue preset_tour_deadline(TimeValue from, int64_t seconds);

/* keepalive_at = now + the keepalive interval. */
void preset_tour_push_keepalive(PresetTour *self);

/* The point at current_index, or null when the index is out of range. */
const PresetPoint *preset_tour_current_point(PresetTour *self);

/* Reads the head position into target_position; on a failed read the old
 * target is kept. */
void preset_tour_update_position(PresetTour *self);

/* 1 when a fresh position read equals target_position, else 0. */
int preset_tour_match_position(PresetTour *self);

/* Logs `format` at `priority` and keeps the text as the camera's last
 * failure, both escaped and cut to TOUR_TEXT_VALUE_MAX (tour_text.h). */
void preset_tour_log_failure(PresetTour *self, int priority, const char *format,
                             ...) G_GNUC_PRINTF(3, 4);
