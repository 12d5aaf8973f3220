// The tour events library: "HeadMoving" (ii) signals, delivered per camera.
// Same shape as the preset events of libptzcommon: one lock over the table,
// callbacks called outside it, one subscription shared by all cameras and
// made on the main context of the first registering thread.
#include "tour_events.h"

#include <algorithm>
#include <mutex>

#include "event_subscription.h"

namespace {

using ptz_events::camera_slot;
using ptz_events::SignalSubscription;

struct MovingRegistration {
  tour_moving_event_cb callback = nullptr;
  void *user_data = nullptr;
};

std::mutex moving_lock;
std::array<MovingRegistration, ptz_events::kCameras> moving{};

void on_head_moving(GVariant *parameters) {
  gint32 camera_id = 0;
  gint32 value = 0;
  g_variant_get(parameters, "(ii)", &camera_id, &value);
  auto slot = camera_slot(camera_id);
  if (!slot)
    return;
  MovingRegistration target;
  {
    std::lock_guard guard(moving_lock);
    target = moving[*slot];
  }
  if (target.callback)
    target.callback(target.user_data, value);
}

constinit SignalSubscription moving_signal{"HeadMoving", "(ii)",
                                           on_head_moving};

} // namespace

extern "C" {

int tour_moving_events_init(void) {
  return ptz_events::system_bus() ? 0 : -1;
}

int tour_moving_events_enable(tour_moving_event_cb callback, void *user_data,
                              int camera_id) {
  auto slot = camera_slot(camera_id);
  if (!slot || !callback)
    return -1;
  std::lock_guard guard(moving_lock);
  if (moving_signal.want() != 0)
    return -1;
  moving[*slot] = {callback, user_data};
  return 0;
}

void tour_moving_events_disable(int camera_id) {
  auto slot = camera_slot(camera_id);
  if (!slot)
    return;
  std::lock_guard guard(moving_lock);
  moving[*slot] = {};
  if (std::none_of(moving.begin(), moving.end(),
                   [](const MovingRegistration &r) { return r.callback; }))
    moving_signal.drop();
}

} // extern "C"
