/*
 * tour_schedule, the planner: which tours have a timetable, which side of
 * it each was last put on, and the one timer to the next edge.
 *
 * A tour's side starts unknown at start-up, so the first plausible
 * evaluation brings it to its timetable (played inside a window, stopped
 * outside). A tour that gains a timetable by an edit starts outside, so
 * only a window around the present plays it; one that loses its timetable
 * is left as it is. From then on a tour is played or stopped only when the
 * present crosses to the other side; what operators do in between stands.
 */
#include "tour_schedule.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <syslog.h>

#include "tour_confhub.h"
#include "tour_handler.h"

namespace {

enum class Side : uint8_t { UNKNOWN, INSIDE, OUTSIDE };

constexpr int64_t USEC = G_USEC_PER_SEC;
/* With every tour always inside, the timer still wakes weekly; harmless. */
constexpr int64_t IDLE_WAKE = 7 * 24 * 3600;

struct Scheduled {
  int32_t tour_id;
  int32_t camera_id = 0;
  std::string text;            /* as stored, to see edits */
  TourScheduleWindows windows; /* empty: unreadable, so unscheduled */
  Side side = Side::UNKNOWN;
};

struct Decision {
  Scheduled *tour;
  TourSchedulePlace place;
};

std::string tour_word(const char *verb, int32_t tour_id) {
  return std::string(verb) + " G" + std::to_string(tour_id);
}

} // namespace

struct TourSchedule {
  TourHandler *handler = nullptr; /* borrowed */
  TourScheduleClock clock{};
  TourScheduleTimer *timer = nullptr; /* the system's clock only */
  int64_t plausible_from = 0;
  std::vector<Scheduled> tours;
  std::array<TourScheduleNext, IMAGE_SOURCES> next;
  void (*observer)(gpointer) = nullptr;
  gpointer observer_data = nullptr;
  guint bus_id = 0;
};

namespace {

/* The tour's CamNbr, or 0 when it cannot be read. */
int32_t camera_of(int32_t tour_id) {
  TourParam param{};
  param.type = GUARD_CAM_NBR;
  param.tour_id = tour_id;
  return tour_confhub_get_parameter(&param) == 0 ? param.int_value : 0;
}

/* Every Schedule as stored now; tours whose text did not change keep
 * their side. */
void read_schedules(TourSchedule *self, Side side_of_new) {
  std::vector<Scheduled> fresh;
  g_autofree int32_t *ids = nullptr;
  const int count = tour_confhub_get_guard_tour_ids(&ids);
  std::vector<char *> texts(size_t(std::max(count, 0)));
  tour_confhub_get_tour_schedules(ids, count, TOUR_SCHEDULE_TEXT_MAX,
                                  texts.data());
  for (int i = 0; i < count; ++i) {
    g_autofree char *stored = texts[size_t(i)];
    if (stored == nullptr)
      continue;
    TourScheduleWindows windows;
    TourScheduleError error;
    const std::string_view text = stored;
    if (tour_schedule_parse(text, &windows, &error) && windows.empty())
      continue; /* blank: unscheduled */

    auto old =
        std::find_if(self->tours.begin(), self->tours.end(),
                     [&](const Scheduled &t) { return t.tour_id == ids[i]; });
    const bool known = old != self->tours.end();
    Scheduled tour{ids[i]};
    tour.text = text;
    tour.windows = std::move(windows);
    tour.side = known && !old->windows.empty() ? old->side : side_of_new;
    /* Logged once per unreadable text, not at every reload. */
    if (error.what != nullptr && !(known && old->text == tour.text))
      syslog(LOG_WARNING, "Schedule of tour %d unreadable at column %zu: %s",
             ids[i], error.column, error.what);
    tour.camera_id = camera_of(ids[i]);
    fresh.push_back(std::move(tour));
  }
  self->tours = std::move(fresh);
}

bool in_range(int32_t camera_id) {
  return camera_id >= 1 && camera_id <= IMAGE_SOURCES;
}

void queue(TourSchedule *self, bool play, int32_t tour_id) {
  (play ? tour_handler_play_preset_tour
        : tour_handler_stop_preset_tour)(self->handler, tour_id, nullptr);
}

bool same_camera(const Decision &a, const Decision &b) {
  return &a == &b || (a.tour->camera_id == b.tour->camera_id &&
                      in_range(a.tour->camera_id));
}

void log_overlap(const Decision &winner, const Decision &other) {
  syslog(LOG_INFO,
         "Schedule: tours %d and %d of camera %d overlap; %d started last and "
         "has the camera",
         winner.tour->tour_id, other.tour->tour_id, winner.tour->camera_id,
         winner.tour->tour_id);
}

/* When several scheduled tours of one camera are inside their windows, the
 * one whose window started last has the camera (on a tie, the lower tour
 * number); it is played if it enters now, and the others are named in the
 * log. One that was inside already is not played again. */
void play_entering(TourSchedule *self, const std::vector<Decision> &inside) {
  for (const Decision &d : inside) {
    if (d.tour->side == Side::INSIDE)
      continue;
    const Decision *winner = &d;
    for (const Decision &o : inside)
      if (same_camera(o, d) && (o.place.since > winner->place.since ||
                                (o.place.since == winner->place.since &&
                                 o.tour->tour_id < winner->tour->tour_id)))
        winner = &o;
    if (winner == &d) {
      queue(self, true, d.tour->tour_id);
      for (const Decision &o : inside)
        if (&o != &d && same_camera(o, d))
          log_overlap(d, o);
    } else if (winner->tour->side == Side::INSIDE) {
      log_overlap(*winner, d);
    }
  }
  for (const Decision &d : inside)
    d.tour->side = Side::INSIDE;
}

void set_next(TourSchedule *self,
              std::array<TourScheduleNext, IMAGE_SOURCES> next) {
  if (next == self->next)
    return;
  self->next = std::move(next);
  if (self->observer != nullptr)
    self->observer(self->observer_data);
}

void wait_for_clock(TourSchedule *self) {
  std::array<TourScheduleNext, IMAGE_SOURCES> next{};
  for (const Scheduled &t : self->tours)
    if (!t.windows.empty() && in_range(t.camera_id))
      next[size_t(t.camera_id - 1)].action = "waiting for clock";
  set_next(self, next);
  self->clock.arm(self->clock.data, self->plausible_from * USEC);
}

void evaluate(TourSchedule *self) {
  const bool any =
      std::any_of(self->tours.begin(), self->tours.end(),
                  [](const Scheduled &t) { return !t.windows.empty(); });
  if (!any) {
    self->clock.arm(self->clock.data, -1);
    set_next(self, {});
    return;
  }
  const int64_t now_us = self->clock.now_us(self->clock.data);
  if (now_us < self->plausible_from * USEC) {
    wait_for_clock(self);
    return;
  }
  const int64_t now = now_us / USEC;
  g_autoptr(GTimeZone) zone = self->clock.zone(self->clock.data);

  std::vector<Decision> inside;
  std::array<TourScheduleNext, IMAGE_SOURCES> next{};
  int64_t wake = now + IDLE_WAKE;
  /* Stops go first, so that a window ending as another begins leaves the
   * camera to the one that begins. */
  for (Scheduled &t : self->tours) {
    if (t.windows.empty())
      continue;
    const TourSchedulePlace place = tour_schedule_place(t.windows, zone, now);
    if (place.inside) {
      inside.push_back({&t, place});
    } else {
      if (t.side != Side::OUTSIDE)
        queue(self, false, t.tour_id);
      t.side = Side::OUTSIDE;
    }
    if (place.next_edge == 0)
      continue;
    wake = std::min(wake, place.next_edge);
    if (!in_range(t.camera_id))
      continue;
    TourScheduleNext &n = next[size_t(t.camera_id - 1)];
    const uint64_t at = uint64_t(place.next_edge) * USEC;
    /* At one instant a play outranks a stop; it is what the camera does. */
    const bool plays = !place.inside;
    if (n.at_us == 0 || at < n.at_us || (at == n.at_us && plays)) {
      n.at_us = at;
      n.action = tour_word(plays ? "play" : "stop", t.tour_id);
    }
  }
  play_entering(self, inside);
  set_next(self, std::move(next));
  self->clock.arm(self->clock.data, wake * USEC);
}

} // namespace

TourSchedule *tour_schedule_new(TourHandler *handler,
                                const TourScheduleClock *clock,
                                int plausible_year) {
  auto *self = new TourSchedule;
  self->handler = handler;
  if (clock != nullptr) {
    self->clock = *clock;
  } else {
    self->timer = tour_schedule_timer_new(
        [](gpointer data) {
          tour_schedule_wake(static_cast<TourSchedule *>(data));
        },
        self);
    self->clock = tour_schedule_system_clock(self->timer);
  }
  g_autoptr(GDateTime) year =
      g_date_time_new_utc(plausible_year, 1, 1, 0, 0, 0);
  self->plausible_from = year != nullptr ? g_date_time_to_unix(year) : 0;
  read_schedules(self, Side::UNKNOWN);
  evaluate(self);
  self->bus_id = tour_schedule_bus_export(self);
  return self;
}

void tour_schedule_free(TourSchedule *self) {
  if (self == nullptr)
    return;
  tour_schedule_bus_unexport(self->bus_id);
  self->clock.arm(self->clock.data, -1);
  g_clear_pointer(&self->timer, tour_schedule_timer_free);
  delete self;
}

void tour_schedule_reload(TourSchedule *self) {
  read_schedules(self, Side::OUTSIDE);
  evaluate(self);
}

void tour_schedule_wake(TourSchedule *self) { evaluate(self); }

const TourScheduleNext &tour_schedule_next(const TourSchedule *self,
                                           int camera_id) {
  g_assert(in_range(camera_id));
  return self->next[size_t(camera_id - 1)];
}

void tour_schedule_set_observer(TourSchedule *self, void (*observer)(gpointer),
                                gpointer data) {
  self->observer = observer;
  self->observer_data = data;
}
