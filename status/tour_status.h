/*
 * tour_status: the read-only live status of every camera's tour.
 *
 * An object manager (org.freedesktop.DBus.ObjectManager) at
 * /com/vorn/PresetTourStatus exports Camera1 .. Camera8, each with the
 * interface com.vorn.PresetTourStatus.Camera (tour_status_camera.h). The
 * status follows the handler and its engines through the handler's
 * observer and never drives them: after each handler run it compares what
 * the engines show with what it serves, and only when something differs
 * does it schedule one announcement, so the changes of one main-loop
 * iteration leave as one PropertiesChanged per object. A steady dwell or an
 * idle daemon therefore schedules nothing and costs no wake-up, and signals
 * are queued on the connection, never waited for, so a slow reader cannot
 * slow a tour.
 *
 * Times on the bus are microseconds since the Unix epoch, converted from
 * the platform's monotonic clock at the moment a value is taken.
 *
 * Threads: main loop only. Ownership: the process start-up owns the status;
 * it must be freed before the handler it follows.
 */
#pragma once

#include <glib.h>

#include "tour_handler.h"
#include "tour_schedule.h"
#include "tour_status_values.h"

struct TourStatus;

/* Follows `handler` (borrowed) and exports the objects on the system bus
 * connection; without a bus the values are kept all the same (logged).
 * With `schedule` (borrowed, outlives the status) it shows each camera's
 * next edge too (ScheduleNext, ScheduleNextAction); without, 0 and "". */
TourStatus *tour_status_new(TourHandler *handler,
                            TourSchedule *schedule = nullptr);
void tour_status_free(TourStatus *self);
G_DEFINE_AUTOPTR_CLEANUP_FUNC(TourStatus, tour_status_free)

/* What camera `camera_id` (1 to 8) serves now. */
const TourStatusValues &tour_status_values(const TourStatus *self,
                                           int camera_id);

/* The state names, as they appear in the State property. */
extern const char TOUR_STATUS_IDLE[];
extern const char TOUR_STATUS_MOVING[];
extern const char TOUR_STATUS_DWELLING[];
extern const char TOUR_STATUS_PAUSED[];
extern const char TOUR_STATUS_HELD[];
