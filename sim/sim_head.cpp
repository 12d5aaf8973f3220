/*
 * The motion model. A head travels in a straight line towards its target so
 * that pan, tilt and zoom arrive together; its position is derived from the
 * monotonic clock, so a query between ticks is exact and a still head always
 * reports the very same values. The tick exists only while a head moves.
 */
#include "sim.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace sim {
namespace {

constexpr guint kTickMs = 20;

/* Pan units per second at speed s (1..100) is 250 + 25 s: from 500/s at
 * speed 10 to 2750/s at speed 100, so neighbouring default presets (1000
 * pan units apart) are 0.4 to 2 s away. Tilt and zoom scale by 1/10 and
 * 1/100, the proportions of the default preset table. */
constexpr double kPanBase = 250.0;
constexpr double kPanPerSpeed = 25.0;
constexpr double kTiltRatio = 0.1;
constexpr double kZoomRatio = 0.01;

int64_t travel_us(const Position &a, const Position &b, int speed) {
  const double pan_rate =
      (kPanBase + kPanPerSpeed * speed) * state().opt.speed_scale;
  const double secs =
      std::max({std::abs(b.pan - a.pan) / pan_rate,
                std::abs(b.tilt - a.tilt) / (pan_rate * kTiltRatio),
                std::abs(b.zoom - a.zoom) / (pan_rate * kZoomRatio)});
  return static_cast<int64_t>(std::ceil(secs * G_USEC_PER_SEC));
}

Position interpolate(const Head &h, int64_t now_us) {
  if (h.duration_us <= 0 || now_us - h.started_us >= h.duration_us)
    return h.to;
  const double f = static_cast<double>(now_us - h.started_us) / h.duration_us;
  auto lerp = [f](int a, int b) {
    return a + static_cast<int>(std::lround((b - a) * f));
  };
  return {lerp(h.from.pan, h.to.pan), lerp(h.from.tilt, h.to.tilt),
          lerp(h.from.zoom, h.to.zoom)};
}

void record_reached(int camera_id, Head &h, int preset) {
  h.last_preset = preset;
  h.history.push_back(preset);
  while (h.history.size() > static_cast<std::size_t>(kHistoryLimit))
    h.history.pop_front();
  emit_event("PresetReached", g_variant_new("(ii)", camera_id, 1));
}

void arrive(int camera_id, Head &h) {
  h.pos = h.to;
  h.moving = false;
  const int preset = h.target_preset;
  h.target_preset = -1;
  if (preset >= 0)
    record_reached(camera_id, h, preset);
  emit_event("HeadMoving", g_variant_new("(ii)", camera_id, 0));
}

gboolean on_tick(gpointer) {
  const int64_t now = g_get_monotonic_time();
  bool any_moving = false;
  for (int id = 1; id <= state().opt.cameras; ++id) {
    Head &h = camera(id)->head;
    if (!h.moving)
      continue;
    if (now - h.started_us >= h.duration_us) {
      arrive(id, h);
    } else {
      h.pos = interpolate(h, now);
      any_moving = true;
    }
  }
  if (any_moving)
    return G_SOURCE_CONTINUE;
  state().motion_source = 0;
  return G_SOURCE_REMOVE;
}

void ensure_ticking() {
  if (state().motion_source == 0)
    state().motion_source = g_timeout_add(kTickMs, on_tick, nullptr);
}

} // namespace

void head_reset_presets(Camera &cam) {
  cam.presets.clear();
  for (int p = 1; p <= state().opt.presets; ++p)
    cam.presets[p] = {p * 1000, p * 100, p * 10};
}

Position head_position(const Camera &cam) {
  const Head &h = cam.head;
  return h.moving ? interpolate(h, g_get_monotonic_time()) : h.pos;
}

int head_goto(int camera_id, int preset, int speed) {
  Camera &cam = *camera(camera_id);
  const auto it = cam.presets.find(preset);
  if (it == cam.presets.end())
    return -1;
  Head &h = cam.head;
  const int64_t now = g_get_monotonic_time();
  const Position here = h.moving ? interpolate(h, now) : h.pos;
  h.speed = std::clamp(speed, 1, 100);
  if (here == it->second) {
    /* Already there: arrival without motion, as a real head reports it. */
    if (h.moving) {
      h.to = here;
      h.target_preset = preset;
      arrive(camera_id, h);
    } else {
      record_reached(camera_id, h, preset);
    }
    return 0;
  }
  h.pos = here;
  h.from = here;
  h.to = it->second;
  h.target_preset = preset;
  h.started_us = now;
  h.duration_us = travel_us(here, it->second, h.speed);
  if (!h.moving) {
    h.moving = true;
    emit_event("HeadMoving", g_variant_new("(ii)", camera_id, 1));
  }
  ensure_ticking();
  return 0;
}

void head_stop(int camera_id) {
  Head &h = camera(camera_id)->head;
  if (!h.moving)
    return;
  h.pos = interpolate(h, g_get_monotonic_time());
  h.to = h.pos;
  h.moving = false;
  h.target_preset = -1;
  emit_event("HeadMoving", g_variant_new("(ii)", camera_id, 0));
}

void head_clear_history(Camera &cam) {
  cam.head.history.clear();
  cam.head.last_preset = -1;
}

} // namespace sim
