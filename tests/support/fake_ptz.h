/*
 * A fake PTZ common library and tour events library for unit tests, in place
 * of the stand-ins' clock and events (the time arithmetic is the stand-in's
 * own): a clock that moves only when the test says so, random numbers from a
 * script, and events that the test fires by calling the registered callback
 * on the calling thread. Call fake_ptz::reset() in each test's SetUp.
 */
#pragma once

#include <deque>

#include "ptz_common.h"
#include "tour_events.h"

namespace fake_ptz {

void reset();
/* Clock: starts at 1000 s; only this moves it. */
void advance(int32_t sec, int32_t usec = 0);
void set_clock(TimeValue now);
TimeValue now();
/* The next get_random results (each clamped to the asked range). */
void script_random(std::deque<int> values);
/* Deliver an event to the registered callback; false when none is there. */
bool fire_preset(int camera_id, int event);
bool fire_moving(int camera_id, int value);
bool fire_control(int camera_id, const char *client_name);

} // namespace fake_ptz
