/*
 * tour_handler: the daemon's one central object.
 *
 * It owns one PresetTour per camera (created on first use, kept until
 * shutdown), a FIFO of pending TourAction requests worked off on the main
 * loop, the per-camera block flags and the 100 ms tick that steps every
 * engine (installed only while some engine is active). Creating it sets up
 * the bus service, subscribes to control events and resumes the tours that
 * the store marks as running.
 *
 * Releasing it waits until every Running write it handed over is done.
 *
 * Threads: every function runs on the main loop's thread.
 * Files: tour_handler.cpp (object, request queue, tick),
 * tour_handler_process.cpp (request processing, slot lookup),
 * tour_handler_recovery.cpp (start-up recovery),
 * tour_handler_events.cpp (control events).
 */
#pragma once

#include <array>
#include <glib-object.h>
#include <stdint.h>

#include "preset_tour.h"

constexpr int IMAGE_SOURCES = 8;

G_BEGIN_DECLS

#define TOUR_HANDLER_TYPE (tour_handler_get_type())
G_DECLARE_FINAL_TYPE(TourHandler, tour_handler, TOUR, HANDLER, GObject)
#define IS_TOUR_HANDLER(obj) TOUR_IS_HANDLER(obj)

G_END_DECLS

#define TOUR_HANDLER_ERROR (tour_handler_error_quark())
GQuark tour_handler_error_quark(void);

enum TourHandlerError : int {
  TOUR_HANDLER_ERROR_OUT_OF_RANGE = 50, /* "Image source id out of range" */
  TOUR_HANDLER_ERROR_FAILED = 100,      /* a request cannot be queued */
};

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

/* Called on the main loop after every run that may have changed an engine
 * or a block flag (request processing, tick, control event, block,
 * unblock). For followers only: it must not call back into the handler or
 * its engines. */
typedef void (*TourHandlerObserver)(gpointer data);
constexpr unsigned TOUR_HANDLER_TICK_MS = 100;

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

/* Bus-facing requests: queue and return TRUE; FALSE with code 100 only when
 * the record cannot be allocated. */
gboolean tour_handler_play_preset_tour(TourHandler *self, int32_t tour_id,
                                       GError **error);
gboolean tour_handler_stop_preset_tour(TourHandler *self, int32_t tour_id,
                                       GError **error);
gboolean tour_handler_pause_preset_tour(TourHandler *self, int32_t tour_id,
                                        GError **error);
gboolean tour_handler_resume_preset_tour(TourHandler *self, int32_t tour_id,
                                         GError **error);
gboolean tour_handler_set_preset_tour_running(TourHandler *self,
                                              const char *running,
                                              const char *confhub_id,
                                              GError **error);
gboolean tour_handler_block_playback(TourHandler *self, int32_t camera_id,
                                     GError **error);
gboolean tour_handler_unblock_playback(TourHandler *self, int32_t camera_id,
                                       GError **error);
gboolean tour_handler_driver_uninstalled(TourHandler *self, int32_t camera_id);

/* One observer at a time; null ends it. */
void tour_handler_set_observer(TourHandler *self, TourHandlerObserver observer,
                               gpointer data);

/* Queue and tick */
void tour_handler_push_action(TourHandler *self, TourAction *action);
gboolean tour_handler_idle_cb(gpointer self);
void tour_handler_update_timer(TourHandler *self);
gboolean tour_handler_iterate_tours(gpointer self);

/* Request processing */
void tour_handler_process_actions(TourHandler *self);
int32_t tour_handler_get_camera_id(int32_t tour_id);
gboolean tour_handler_has_tour(TourHandler *self, int32_t tour_id);
PresetTour *tour_handler_get_preset_tour_from_camera_id(TourHandler *self,
                                                        int32_t camera_id);

/* Start-up recovery */
int32_t tour_handler_get_tour_state(TourState *state);
int32_t tour_handler_set_confhub_running(const TourState *state);
void tour_handler_startup_helper(TourHandler *self);

/* Control events */
int tour_handler_control_queue_cb(void *user_data, int camera_id,
                                  const char *client_name);
