/*
 * The Running writer. Writes go through one long-lived worker thread fed by
 * a FIFO, so a later request for a tour can never be overtaken by an earlier
 * one and the main loop only ever hands records over. A write the store
 * refuses (another writer held it past the lock wait, a full disk) is tried
 * again until it lands: a Running left "no" under a playing tour would keep
 * the tour from being resumed after a restart.
 */
#include <unordered_map>

#include "preset_tour.h"

G_DEFINE_AUTOPTR_CLEANUP_FUNC(TourParam, g_free)

namespace {

constexpr gint64 kRetryPauseUs = G_TIME_SPAN_SECOND;

struct RunningWriter {
  GMutex lock;
  GCond settled;
  GCond wake; /* a new request or a flush: a retry's pause ends early */
  int flushing = 0;
  GAsyncQueue *queue = nullptr; /* of owned TourParam; never freed */
  GThread *thread = nullptr;    /* never joined: lives as long as the process */
  guint64 handed_over = 0;
  guint64 carried_out = 0;
  /* Requests still queued, per tour: one with a later request behind it can
   * be dropped, since the later one decides the stored value. */
  std::unordered_map<int32_t, int> queued;
};

RunningWriter &writer() {
  static RunningWriter instance;
  return instance;
}

/* Writes only what changes: an unchanged Running costs the store a read.
 * false when the store refused the write; a read that fails means the tour
 * is gone or unreadable, and then there is nothing to write. */
bool write_running(TourParam *request) {
  TourParam current{};
  current.type = GUARD_RUNNING;
  current.tour_id = request->tour_id;
  if (tour_confhub_get_parameter(&current) != 0 ||
      g_strcmp0(current.str_value, request->str_value) == 0)
    return true;
  return tour_confhub_set_parameter(request) == 0;
}

/* Retries after a pause until the write lands or a later request for the
 * tour decides instead. A flush gets each write settled promptly: the
 * attempt under way, or one more after a pause, is the last. */
void carry_out(RunningWriter &w, TourParam *request) {
  while (!write_running(request)) {
    g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&w.lock);
    auto done = [&] {
      return w.flushing > 0 || w.queued.count(request->tour_id) > 0;
    };
    if (done())
      return;
    const gint64 until = g_get_monotonic_time() + kRetryPauseUs;
    while (!done() && g_cond_wait_until(&w.wake, &w.lock, until)) {
    }
    if (w.queued.count(request->tour_id) > 0)
      return;
  }
}

gpointer preset_tour_update_running_state_thread(gpointer) {
  RunningWriter &w = writer();
  for (;;) {
    g_autoptr(TourParam) request =
        static_cast<TourParam *>(g_async_queue_pop(w.queue));

    bool superseded = false;
    {
      g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&w.lock);
      auto entry = w.queued.find(request->tour_id);
      superseded = --entry->second > 0;
      if (!superseded)
        w.queued.erase(entry);
    }
    if (!superseded)
      carry_out(w, request);

    g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&w.lock);
    w.carried_out += 1;
    g_cond_broadcast(&w.settled);
  }
  return nullptr;
}

/* Called with the lock held. */
bool ensure_worker(RunningWriter &w) {
  if (w.thread != nullptr)
    return true;
  if (w.queue == nullptr)
    w.queue = g_async_queue_new();
  g_autoptr(GError) error = nullptr;
  w.thread = g_thread_try_new("update_running_state",
                              preset_tour_update_running_state_thread, nullptr,
                              &error);
  return w.thread != nullptr;
}

} // namespace

int preset_tour_update_running_state(int tour_id, int running) {
  g_autoptr(TourParam) request = g_try_new0(TourParam, 1);
  if (request == nullptr)
    return -1;
  request->type = GUARD_RUNNING;
  request->tour_id = tour_id;
  g_strlcpy(request->str_value, running != 0 ? "yes" : "no",
            sizeof request->str_value);

  RunningWriter &w = writer();
  g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&w.lock);
  if (!ensure_worker(w))
    return -1;
  w.handed_over += 1;
  w.queued[tour_id] += 1;
  g_async_queue_push(w.queue, g_steal_pointer(&request));
  g_cond_broadcast(&w.wake);
  return 0;
}

void preset_tour_flush_running_writes(void) {
  RunningWriter &w = writer();
  g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&w.lock);
  w.flushing += 1;
  g_cond_broadcast(&w.wake);
  while (w.carried_out < w.handed_over)
    g_cond_wait(&w.settled, &w.lock);
  w.flushing -= 1;
}
