/*
 * preset_tour: the tour engine of one camera.
 *
 * A PresetTour loads one guard tour from the parameter store and steps the
 * camera through it on the handler's 100 ms tick, talking to the PTZ
 * coordinator of its camera ("com.vorn.PTZ.Coordinator",
 * "/com/vorn/PTZ/Coordinator/<camera>") over the system bus.
 *
 * Threads: everything runs on the main loop's thread, except the Running
 * writes, which a worker thread named "update_running_state" performs.
 * Ownership: the handler owns one reference per engine; the engine owns its
 * bus connection, its coordinator proxy (from the start of a tour to its
 * stop) and its list of PresetPoint records. Event callbacks and the goto
 * completion receive the engine without a reference: engines outlive them
 * (they live until the handler is released at shutdown).
 * Files: preset_tour.cpp (object, preparation), preset_tour_step.cpp
 * (stepping), preset_tour_control.cpp (play/stop/pause/freeze),
 * preset_tour_running.cpp (Running writer), preset_tour_coordinator.cpp
 * (coordinator calls).
 */
#pragma once

#include <gio/gio.h>
#include <stdint.h>

#include "ptz_common.h"
#include "tour_confhub.h"

G_BEGIN_DECLS

#define PRESET_TOUR_TYPE (preset_tour_get_type())
G_DECLARE_FINAL_TYPE(PresetTour, preset_tour, PRESET, TOUR, GObject)
#define IS_PRESET_TOUR(obj) PRESET_IS_TOUR(obj)

G_END_DECLS

enum PresetTourState : uint32_t {
  PRESET_TOUR_STATE_IDLE = 0,
  PRESET_TOUR_STATE_PREPARED = 1,
  PRESET_TOUR_STATE_MOVING = 2,
  PRESET_TOUR_STATE_WAITING = 3,
  PRESET_TOUR_STATE_DESTROYED = 4,
};

enum QueueAction : int32_t {
  QUEUE_ACTION_KEEPALIVE = 0,
  QUEUE_ACTION_LEAVE = 2,
  QUEUE_ACTION_ENTER = 3,
};

constexpr int32_t PRESET_TOUR_KEEPALIVE_INTERVAL_S = 10;
constexpr int32_t PRESET_TOUR_STILL_THRESHOLD = 49; /* ready above this */
constexpr int32_t PRESET_TOUR_GOTO_TICK_LIMIT = 600;
constexpr int32_t PRESET_TOUR_ROUND_PAUSE_UNIT = 60;
constexpr int PRESET_TOUR_DBUS_TIMEOUT_MS = 10000;
constexpr const char *PRESET_TOUR_CLIENT_NAME = "Rezazerar";

/* Fields in this order; flags hold 0 or 1. The handler reads tour_id and
 * active; everything else belongs to the engine. */
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
};

/* Preparation (preset_tour.cpp) */
int preset_tour_prepare_tour(PresetTour *self, int camera_id, int tour_id);
void preset_tour_reset_tour(PresetTour *self);
int preset_tour_compare_preset_positions(const PresetPoint *preset_a,
                                         const PresetPoint *preset_b);

/* Stepping (preset_tour_step.cpp) */
int preset_tour_iterate_tour(PresetTour *self);
void preset_tour_goto_preset(PresetTour *self, int preset_nbr, int move_speed);
int preset_tour_get_random_preset_position(PresetTour *self);
void preset_tour_preset_event_cb(void *user_data, int value);
void preset_tour_moving_event_cb(void *user_data, int value);
void preset_tour_goto_preset_done(GObject *source, GAsyncResult *result,
                                  gpointer user_data);

/* Control (preset_tour_control.cpp) */
int preset_tour_play_tour(PresetTour *self, int camera_id, int tour_id);
int preset_tour_stop_tour(PresetTour *self);
int preset_tour_pause_tour(PresetTour *self);
int preset_tour_freeze_tour(PresetTour *self);
int preset_tour_unfreeze_tour(PresetTour *self);
/* Hands the write of Running ("yes" for non-zero `running`) of `tour_id` to
 * the "update_running_state" worker and returns at once: 0, or -1 when the
 * request could not be made. Writes are carried out in the order in which
 * they were requested, so the stored value ends as the last one requested. */
int preset_tour_update_running_state(int tour_id, int running);
/* Blocks until every Running write handed over so far has been carried out.
 * For shutdown and tests; never called from the tick. */
void preset_tour_flush_running_writes(void);

/* Coordinator client (preset_tour_coordinator.cpp) */
int preset_tour_control_queue(PresetTour *self, int action);
int preset_tour_get_position(PresetTour *self, int32_t position[3]);
void preset_tour_stop_ptz(PresetTour *self);
void preset_tour_register_to_dbus(PresetTour *self);
void preset_tour_deregister_from_dbus(PresetTour *self);
