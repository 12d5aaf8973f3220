/*
 * preset_tour: the tour engine of one camera.
 *
 * A PresetTour loads one guard tour from the parameter store and steps the
 * camera through it on the handler's 100 ms tick, talking to the PTZ
 * coordinator of its camera ("com.vorn.PTZ.Coordinator",
 * "/com/vorn/PTZ/Coordinator/<camera>") over the system bus. What it is
 * doing is read through preset_tour_snapshot(), never from its fields.
 *
 * Threads: everything runs on the main loop's thread, except the Running
 * writes, which a worker thread named "update_running_state" performs. The
 * coordinator calls of play, stop, pause and the tick (Queue, QueryPosition,
 * Move) are synchronous: each blocks the main loop for up to 10 s when the
 * coordinator does not answer. Only GotoPresetNumber is asynchronous.
 * Ownership: the handler owns one reference per engine; the engine owns its
 * bus connection, its coordinator proxy (from the start of a tour to its
 * stop) and its list of PresetPoint records. Event callbacks receive the
 * engine without a reference: an engine with a tour subscribed lives until
 * the handler is released at shutdown. An engine may be released while a
 * goto is out: its completion is cancelled.
 * Internals: preset_tour_internal.h.
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

/* What an engine is doing, taken at one moment on the main loop. */
struct PresetTourSnapshot {
  int32_t tour_id; /* -1 while no tour is loaded */
  bool active;     /* a tour is loaded and playing, paused or held included */
  int32_t state;   /* a PresetTourState */
  bool paused;
  bool held; /* another client has the head; belongs to the camera */
  /* The point being visited and its preset: -1 before the first goto of a
   * tour picks one, and while no tour is active. */
  int32_t point_index;
  int32_t preset;
  int32_t point_count;   /* of the loaded tour */
  TimeValue dwell_until; /* the end of the current (or last) dwell */
  /* The last coordinator or store failure logged for this camera and when
   * (get_time); kept across stops, null until the first. Escaped and
   * bounded (tour_text.h), so it may be shown or sent as it is. Borrowed:
   * valid until the engine is next called. */
  const char *last_error;
  TimeValue last_error_at;
};

PresetTourSnapshot preset_tour_snapshot(const PresetTour *self);

/* The loaded tour's point at `index` in visiting order (the store's order
 * sorted by Position, or as loaded for a random tour), or null. */
const PresetPoint *preset_tour_peek_point(const PresetTour *self, int index);

/* Preparation (preset_tour.cpp): loads `tour_id` without starting it. */
int preset_tour_prepare_tour(PresetTour *self, int camera_id, int tour_id);

/* One step of the tick (preset_tour_step.cpp). */
int preset_tour_iterate_tour(PresetTour *self);

/* Control (preset_tour_control.cpp). A play of an active engine resumes it
 * and keeps the loaded tour, whatever was asked. Freeze and unfreeze are
 * the hold by another client of the head. */
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
/* Blocks until every Running write handed over so far has been carried out;
 * a write the store keeps refusing gets one more attempt at most. For
 * shutdown and tests; never called from the tick. */
void preset_tour_flush_running_writes(void);
