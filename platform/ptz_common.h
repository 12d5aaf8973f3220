/*
 * PTZ common library: time values, random numbers, and the control-queue and
 * preset events.
 *
 * On a device the vendor's library provides these calls; on a development
 * machine the stand-in (libptzcommon) does: a monotonic clock, a seeded
 * generator, and events received as signals of interface
 * "com.vorn.PTZ.Events" on the system bus.
 *
 * Threads: each event callback runs on the main context of the thread that
 * registered it (the daemon's main loop), never on another thread. The time
 * and random calls may be made from any thread.
 */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Whole seconds first, then the sub-second part in microseconds. Callers
 * make deadlines by adding whole seconds to `sec`; the library keeps
 * `usec` normalised to [0, 1000000) in everything it returns. */
typedef struct {
  int32_t sec;
  int32_t usec;
} TimeValue;

/* Fills `now` from a monotonic clock. Returns 0, or -1 when `now` is NULL. */
int get_time(TimeValue *now);
/* Below, at or above 0 as `a` is earlier than, equal to or later than `b`. */
int time_cmp(const TimeValue *a, const TimeValue *b);
/* a = a - b; in the stand-in, held at the ends of the 32-bit seconds. */
void time_sub(TimeValue *a, const TimeValue *b);
/* a = a + b; likewise. */
void time_add(TimeValue *a, const TimeValue *b);

/* Seeds the generator; only the first call of a process has an effect. */
void initialize_random(void);
/* Stores a value from `low` to `high`, both included, in `value`; every value
 * of the range can come up. Returns 0, or -1 when low > high or value is
 * NULL. */
int get_random(int low, int high, int *value);

/* Readies event delivery; further calls do nothing. Returns 0 or -1. */
int initialize_subscriber_queue(void);

/* The client now controlling `camera_id`'s head is `client_name`. The result
 * carries no meaning. */
typedef int (*control_queue_event_cb)(void *user_data, int camera_id,
                                      const char *client_name);
/* Any number of registrations: each gets every event, on the main context
 * of the thread that registered it. */
int control_queue_events_init(control_queue_event_cb callback, void *user_data);
/* Ends every registration. */
void control_queue_events_cleanup(void);

/* A preset event for the registered camera; event 1 is "preset reached". */
typedef void (*preset_event_cb)(void *user_data, int event);
/* At most one registration per camera: registering again (same or other
 * callback) replaces it, so a repeated switch-on gives one delivery.
 * Returns 0 or -1 (-1 for a camera id outside 1..8, which is ignored). */
int preset_events_init(preset_event_cb callback, void *user_data,
                       int camera_id);
/* No more preset events for that camera; any id, -1 included, is accepted. */
void preset_events_cleanup(int camera_id);

#ifdef __cplusplus
}
#endif
