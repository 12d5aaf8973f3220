/*
 * tour_status_camera: one status object's interface skeleton
 * (com.vorn.PresetTourStatus.Camera). It serves, read-only, the values it
 * points at and announces what changed when told to; it decides nothing.
 *
 * Threads: main loop only (Get, GetAll and GetManagedObjects run there).
 */
#pragma once

#include <gio/gio.h>

#include "tour_status_values.h"

G_BEGIN_DECLS

#define TOUR_STATUS_CAMERA_TYPE (tour_status_camera_get_type())
G_DECLARE_FINAL_TYPE(TourStatusCamera, tour_status_camera, TOUR_STATUS, CAMERA,
                     GDBusInterfaceSkeleton)

G_END_DECLS

/* `values` is borrowed and must outlive the skeleton. */
TourStatusCamera *tour_status_camera_new(const TourStatusValues *values);

/* Emits one PropertiesChanged carrying every property whose value differs
 * between `before` and the served values; nothing when none does. The
 * signal is queued, never waited for. Returns the number of properties. */
guint tour_status_camera_announce(TourStatusCamera *self,
                                  const TourStatusValues &before);
