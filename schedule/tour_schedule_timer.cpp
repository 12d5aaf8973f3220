/*
 * tour_schedule, the system's clock: the wall clock, the local zone and one
 * timerfd on CLOCK_REALTIME, absolute and cancelled when the clock is set,
 * watched by the main loop. So the planner sleeps until the next edge, and
 * an NTP step or `date -s` wakes it at once instead of being polled for.
 * The descriptor exists only while a wake-up is asked for.
 */
#include "tour_schedule.h"

#include <cerrno>
#include <sys/timerfd.h>
#include <syslog.h>
#include <unistd.h>

#include <glib-unix.h>

struct TourScheduleTimer {
  void (*wake)(gpointer);
  gpointer data;
  int fd = -1;
  guint source_id = 0;
};

namespace {

void close_timer(TourScheduleTimer *timer) {
  g_clear_handle_id(&timer->source_id, g_source_remove);
  if (timer->fd >= 0)
    close(timer->fd);
  timer->fd = -1;
}

gboolean on_ready(gint fd, GIOCondition, gpointer data) {
  auto *timer = static_cast<TourScheduleTimer *>(data);
  uint64_t expirations = 0;
  /* ECANCELED: the clock was set; either way the planner looks again. */
  if (read(fd, &expirations, sizeof expirations) < 0 && errno == EAGAIN)
    return G_SOURCE_CONTINUE;
  timer->wake(timer->data);
  return G_SOURCE_CONTINUE;
}

bool open_timer(TourScheduleTimer *timer) {
  timer->fd = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer->fd < 0) {
    syslog(LOG_ERR, "Failed to create the schedule timer: %m");
    return false;
  }
  timer->source_id = g_unix_fd_add(timer->fd, G_IO_IN, on_ready, timer);
  return true;
}

void arm(gpointer data, int64_t at_us) {
  auto *timer = static_cast<TourScheduleTimer *>(data);
  if (at_us < 0) {
    close_timer(timer);
    return;
  }
  if (timer->fd < 0 && !open_timer(timer))
    return;
  itimerspec when{};
  when.it_value.tv_sec = time_t(at_us / G_USEC_PER_SEC);
  when.it_value.tv_nsec = long(at_us % G_USEC_PER_SEC) * 1000;
  /* A zero time would disarm it; the epoch itself is long past anyway. */
  if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0)
    when.it_value.tv_nsec = 1;
  if (timerfd_settime(timer->fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET,
                      &when, nullptr) != 0)
    syslog(LOG_ERR, "Failed to arm the schedule timer: %m");
}

int64_t now_us(gpointer) { return g_get_real_time(); }

/* Read afresh each time, so that a changed TZ or /etc/localtime counts at
 * the next evaluation. */
GTimeZone *local_zone(gpointer) { return g_time_zone_new_identifier(nullptr); }

} // namespace

TourScheduleTimer *tour_schedule_timer_new(void (*wake)(gpointer),
                                           gpointer data) {
  auto *timer = new TourScheduleTimer;
  timer->wake = wake;
  timer->data = data;
  return timer;
}

void tour_schedule_timer_free(TourScheduleTimer *timer) {
  close_timer(timer);
  delete timer;
}

TourScheduleClock tour_schedule_system_clock(TourScheduleTimer *timer) {
  return {now_us, local_zone, arm, timer};
}
