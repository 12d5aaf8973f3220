/*
 * Helpers shared by the engine's source files; not part of its surface.
 */
#pragma once

#include "preset_tour.h"

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
 * failure. */
void preset_tour_log_failure(PresetTour *self, int priority,
                             const char *format, ...) G_GNUC_PRINTF(3, 4);
