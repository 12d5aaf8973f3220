/*
 * Helpers shared by the tour_handler source files; not part of its surface.
 */
#pragma once

#include <glib.h>
#include <stdint.h>

#include "tour_handler.h"

G_DEFINE_AUTOPTR_CLEANUP_FUNC(TourAction, g_free)
G_DEFINE_AUTOPTR_CLEANUP_FUNC(TourState, g_free)

/* Camera ids arrive from clients, the store and the coordinator unchecked;
 * every table access goes through this test first. */
constexpr bool tour_handler_camera_in_range(int32_t camera_id) {
  return camera_id >= 1 && camera_id <= IMAGE_SOURCES;
}

constexpr size_t tour_handler_slot(int32_t camera_id) {
  return static_cast<size_t>(camera_id - 1);
}

/* The engine of a camera, or null for an empty slot or an id out of range.
 * Never creates one. */
PresetTour *tour_handler_peek_slot(TourHandler *self, int32_t camera_id);

inline void tour_handler_tell_observer(TourHandler *self) {
  if (self->observer != nullptr)
    self->observer(self->observer_data);
}
