/*
 * A fake PTZ common library and tour events library, linked into unit tests
 * in place of libptzcommon and libtourevents (the platform seam):
 *
 *  - a clock that moves only when the test says so;
 *  - random numbers from a script (then from a seeded generator);
 *  - event registrations that are recorded, and events that the test fires
 *    by calling the registered callbacks directly, on the calling thread.
 *
 * Call fake_ptz::reset() in each test's SetUp.
 */
#pragma once

#include <deque>
#include <string>

#include "ptz_common.h"
#include "tour_events.h"

namespace fake_ptz {

void reset();

/* Clock: starts at 1000 s; only this moves it. */
void advance(int32_t sec, int32_t usec = 0);
TimeValue now();

/* The next get_random results (each clamped to the asked range). */
void script_random(std::deque<int> values);

/* Calls made to the library, by name ("initialize_random",
 * "initialize_subscriber_queue", "tour_moving_events_init",
 * "preset_events_init", "preset_events_cleanup",
 * "tour_moving_events_enable", "tour_moving_events_disable",
 * "control_queue_events_init", "control_queue_events_cleanup"),
 * in order, each with its camera id (-1000 when the call has none). */
struct Call {
  std::string name;
  int camera_id;
};
const std::deque<Call> &calls();

/* Whether a camera currently has a preset registration. */
bool preset_registered(int camera_id);

/* Deliver an event to the registered callback; false when none is there. */
bool fire_preset(int camera_id, int event);
bool fire_moving(int camera_id, int value);
bool fire_control(int camera_id, const char *client_name);

} // namespace fake_ptz
