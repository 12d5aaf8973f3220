/*
 * Per-camera control queues. The client at the front holds the head; every
 * change of the front is announced with ControlChanged. Clients that go
 * silent for longer than the expiry time drop out; one timeout, aimed at the
 * earliest deadline, exists only while some client can expire.
 */
#include "sim.h"

#include <algorithm>
#include <optional>

namespace sim {
namespace {

constexpr int kActionKeepalive = 0;
constexpr int kActionLeave = 2;
constexpr int kActionEnter = 3;

constexpr int kStatusWaiting = 0;
constexpr int kStatusAtHead = 1;
constexpr int kStatusAbsent = 2;

int64_t expiry_us() {
  return static_cast<int64_t>(state().opt.expiry_s * G_USEC_PER_SEC);
}

std::string front_name(const Camera &cam) {
  return cam.queue.empty() ? std::string() : cam.queue.front().client;
}

std::deque<QueueEntry>::iterator find(Camera &cam, const char *client) {
  return std::find_if(
      cam.queue.begin(), cam.queue.end(),
      [client](const QueueEntry &e) { return e.client == client; });
}

void reschedule_expiry();

gboolean on_expiry(gpointer) {
  state().expiry_source = 0;
  const int64_t now = g_get_monotonic_time();
  for (int id = 1; id <= state().opt.cameras; ++id) {
    Camera &cam = *camera(id);
    const std::string before = front_name(cam);
    std::erase_if(cam.queue, [now](const QueueEntry &e) {
      return !e.taken && now - e.last_seen_us >= expiry_us();
    });
    const std::string after = front_name(cam);
    if (after != before)
      emit_event("ControlChanged", g_variant_new("(is)", id, after.c_str()));
  }
  reschedule_expiry();
  return G_SOURCE_REMOVE;
}

void reschedule_expiry() {
  std::optional<int64_t> earliest;
  for (int id = 1; id <= state().opt.cameras; ++id)
    for (const QueueEntry &e : camera(id)->queue)
      if (!e.taken && (!earliest || e.last_seen_us < *earliest))
        earliest = e.last_seen_us;
  if (state().expiry_source != 0) {
    g_source_remove(state().expiry_source);
    state().expiry_source = 0;
  }
  if (!earliest)
    return;
  const int64_t wait_us =
      std::max<int64_t>(0, *earliest + expiry_us() - g_get_monotonic_time());
  /* Round up, so the timeout never fires just before the deadline. */
  state().expiry_source = g_timeout_add(
      static_cast<guint>((wait_us + 999) / 1000), on_expiry, nullptr);
}

/* Runs a change of one camera's queue and announces a new front. */
template <typename Fn> void change_queue(int camera_id, Fn &&fn) {
  Camera &cam = *camera(camera_id);
  const std::string before = front_name(cam);
  fn(cam);
  const std::string after = front_name(cam);
  if (after != before)
    emit_event("ControlChanged",
               g_variant_new("(is)", camera_id, after.c_str()));
  reschedule_expiry();
}

GVariant *reply_for(Camera &cam, const char *client) {
  const auto it = find(cam, client);
  const int len = static_cast<int>(cam.queue.size());
  if (it == cam.queue.end())
    return g_variant_new("(iii)", kStatusAbsent, -1, len);
  const int index = static_cast<int>(it - cam.queue.begin());
  return g_variant_new("(iii)", index == 0 ? kStatusAtHead : kStatusWaiting,
                       index, len);
}

} // namespace

GVariant *queue_action(int camera_id, const char *client, int action) {
  if (action != kActionKeepalive && action != kActionLeave &&
      action != kActionEnter)
    return nullptr;
  const int64_t now = g_get_monotonic_time();
  change_queue(camera_id, [&](Camera &cam) {
    const auto it = find(cam, client);
    if (action == kActionLeave) {
      if (it != cam.queue.end())
        cam.queue.erase(it);
    } else if (it != cam.queue.end()) {
      it->last_seen_us = now;
    } else if (action == kActionEnter) {
      cam.queue.push_back({client, now, false});
    }
  });
  return reply_for(*camera(camera_id), client);
}

void queue_touch(int camera_id, const char *client) {
  Camera &cam = *camera(camera_id);
  const auto it = find(cam, client);
  if (it == cam.queue.end())
    return;
  it->last_seen_us = g_get_monotonic_time();
  reschedule_expiry();
}

void queue_take(int camera_id, const char *client) {
  change_queue(camera_id, [&](Camera &cam) {
    std::erase_if(cam.queue,
                  [client](const QueueEntry &e) { return e.client == client; });
    cam.queue.push_front({client, g_get_monotonic_time(), true});
  });
}

void queue_release(int camera_id, const char *client) {
  change_queue(camera_id, [&](Camera &cam) {
    std::erase_if(cam.queue,
                  [client](const QueueEntry &e) { return e.client == client; });
  });
}

} // namespace sim
