/*
 * tour_handler: the daemon's one central object.
 *
 * It owns one PresetTour per camera (created on first use, kept until
 * shutdown), a FIFO of pending requests worked off on the main loop, the
 * per-camera block flags and the 100 ms tick that steps every engine
 * (installed only while some engine is active). Creating it sets up the bus
 * service, subscribes to control events and resumes the tours that the
 * store marks as running.
 *
 * Releasing it waits until every Running write it handed over is done.
 *
 * Threads: every function runs on the main loop's thread.
 * Internals: tour_handler_internal.h.
 */
#pragma once

#include <glib-object.h>
#include <stdint.h>

#include "patrold_names.h"
#include "preset_tour.h"

G_BEGIN_DECLS

#define TOUR_HANDLER_TYPE (tour_handler_get_type())
G_DECLARE_FINAL_TYPE(TourHandler, tour_handler, TOUR, HANDLER, GObject)
#define IS_TOUR_HANDLER(obj) TOUR_IS_HANDLER(obj)

G_END_DECLS

#define TOUR_HANDLER_ERROR (tour_handler_error_quark())
GQuark tour_handler_error_quark(void);

/* The codes clients of the platform already test for; their numbers are
 * part of the bus contract and must not change. */
enum TourHandlerError : int {
  TOUR_HANDLER_ERROR_OUT_OF_RANGE = 50, /* "Image source id out of range" */
  TOUR_HANDLER_ERROR_FAILED = 100,      /* a request cannot be queued */
};

/* Called on the main loop after every run that may have changed an engine
 * or a block flag (request processing, tick, control event, block,
 * unblock). For followers only: it must not call back into the handler or
 * its engines. */
typedef void (*TourHandlerObserver)(gpointer data);
constexpr unsigned TOUR_HANDLER_TICK_MS = 100;

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

/* Installs the tick if some engine is active, removes it if none is. */
void tour_handler_update_timer(TourHandler *self);

/* One observer at a time; null ends it. */
void tour_handler_set_observer(TourHandler *self, TourHandlerObserver observer,
                               gpointer data);

/* Reading, for followers: the engine of a camera (borrowed), or null for an
 * empty slot or an id out of range (never creates one); whether plays on a
 * camera are blocked; whether requests wait for their processing run. */
PresetTour *tour_handler_peek_slot(TourHandler *self, int32_t camera_id);
gboolean tour_handler_is_blocked(TourHandler *self, int32_t camera_id);
gboolean tour_handler_has_pending_requests(TourHandler *self);
