/*
 * tour_schedule: tours on a weekly timetable, kept by patrold itself.
 *
 * A tour's optional leaf Schedule holds windows such as
 * "Mon..Fri 22:00-06:00; Sat,Sun 00:00-24:00" in the device's local time.
 * At a window's start the tour is played and at its end stopped, through
 * the handler's request queue, as PlayPresetTour and StopPresetTour would
 * be: blocks, holds and the one-tour-per-camera rule apply. Only edges act:
 * the planner remembers which side of its timetable each tour was last put
 * on, and acts when the present moves to the other side (an edge passed, a
 * clock jump, an edit). Until the wall clock is plausible (not before
 * `plausible_year`) nothing acts.
 *
 * Cost: one main-loop timer, armed at the next edge of any tour; with no
 * scheduled tour there is no timer and no file descriptor at all. The
 * system's timer is a timerfd on CLOCK_REALTIME, absolute and cancelled
 * when the clock is set, so a clock step wakes the planner at once.
 *
 * Surface: the text grammar (tour_schedule_text.cpp, also used by tourctl),
 * the evaluation in a time zone (tour_schedule_time.cpp), the planner
 * (tour_schedule.cpp), its timer (tour_schedule_timer.cpp) and its bus
 * object /com/vorn/PresetTourSchedule with Reload() (tour_schedule_bus.cpp).
 *
 * Ownership: the process start-up owns the planner, created after the
 * handler (so after the recovery of running tours) and freed before it;
 * the handler is borrowed. Threads: main loop only; the grammar and the
 * evaluation are pure functions, safe on any thread.
 */
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <glib.h>

typedef struct _TourHandler TourHandler;

/* A longer stored Schedule is unreadable: it is never parsed. */
inline constexpr size_t TOUR_SCHEDULE_TEXT_MAX = 4096;
inline constexpr int TOUR_SCHEDULE_DAY_MINUTES = 24 * 60;

/* One window. days: bit 0 Monday .. bit 6 Sunday. start 0..1439 and end
 * 1..1440 in minutes of the local day; an end at or before the start runs
 * into the next day. */
struct TourScheduleWindow {
  uint8_t days;
  uint16_t start;
  uint16_t end;
  bool operator==(const TourScheduleWindow &) const = default;
};
using TourScheduleWindows = std::vector<TourScheduleWindow>;

/* Where a text stops being readable: column counts bytes from 1. */
struct TourScheduleError {
  size_t column = 0;
  const char *what = nullptr; /* static English text */
};

/* Reads a Schedule text. true with its windows (none for an empty or blank
 * text: the tour is unscheduled); false with *error. */
bool tour_schedule_parse(std::string_view text, TourScheduleWindows *windows,
                         TourScheduleError *error);

/* Whether two timetables share a minute of the week, in local wall time. */
bool tour_schedule_overlap(const TourScheduleWindows &a,
                           const TourScheduleWindows &b);

/* Where `now` (seconds since the epoch) lies in a timetable in `zone`.
 * since: the start of the present stretch inside (when inside); next_edge:
 * the next start or end after now, 0 when there is none (always inside).
 * A local time skipped by a clock change means the first instant after the
 * gap; a repeated one, its first occurrence. */
struct TourSchedulePlace {
  bool inside = false;
  int64_t since = 0;
  int64_t next_edge = 0;
};
TourSchedulePlace tour_schedule_place(const TourScheduleWindows &windows,
                                      GTimeZone *zone, int64_t now);

/* The wall clock and local zone the planner reads, and its timer: `arm`
 * asks for one wake-up (tour_schedule_wake) at wall time at_us or as soon
 * as the wall clock is set, whichever comes first, replacing any earlier
 * one; at_us < 0 cancels it. Tests pass a fake one. */
struct TourScheduleClock {
  int64_t (*now_us)(gpointer data);
  GTimeZone *(*zone)(gpointer data); /* a new reference */
  void (*arm)(gpointer data, int64_t at_us);
  gpointer data;
};

/* What a camera's status shows: the next edge that acts on it (µs since the
 * epoch, 0 for none) and what it does: "play G<n>", "stop G<n>", "waiting
 * for clock" or "". */
struct TourScheduleNext {
  uint64_t at_us = 0;
  std::string action;
  bool operator==(const TourScheduleNext &) const = default;
};

struct TourSchedule;

/* Reads every tour's Schedule, brings each scheduled tour to what its
 * timetable says now and plans the timer. `clock` null: the system's. */
TourSchedule *tour_schedule_new(TourHandler *handler,
                                const TourScheduleClock *clock,
                                int plausible_year);
void tour_schedule_free(TourSchedule *self);
G_DEFINE_AUTOPTR_CLEANUP_FUNC(TourSchedule, tour_schedule_free)

/* Rereads every Schedule and replans; acts only where an edit moved the
 * present into or out of a window. */
void tour_schedule_reload(TourSchedule *self);
/* The timer's callback: the clock reached an edge or was set. */
void tour_schedule_wake(TourSchedule *self);

/* Camera 1..8. */
const TourScheduleNext &tour_schedule_next(const TourSchedule *self,
                                           int camera_id);
/* Called after every plan that may have changed what tour_schedule_next
 * says; a follower only. One at a time, null ends it. */
void tour_schedule_set_observer(TourSchedule *self, void (*observer)(gpointer),
                                gpointer data);

/* The system's clock: g_get_real_time, the local zone, a timerfd source
 * that calls `wake(data)`. Internal to the module. */
struct TourScheduleTimer;
TourScheduleTimer *tour_schedule_timer_new(void (*wake)(gpointer),
                                           gpointer data);
void tour_schedule_timer_free(TourScheduleTimer *timer);
TourScheduleClock tour_schedule_system_clock(TourScheduleTimer *timer);

/* The bus object; registered on the system bus, removed by _unexport. */
guint tour_schedule_bus_export(TourSchedule *self);
void tour_schedule_bus_unexport(guint registration_id);
