// The tour events library: "HeadMoving" (ii) signals, delivered per camera
// on the main context of the thread that enabled that camera.
#include "tour_events.h"

#include "event_subscription.h"

namespace {

constinit ptz_events::CameraEvents moving{"HeadMoving"};

} // namespace

extern "C" {

int tour_moving_events_init(void) { return ptz_events::system_bus() ? 0 : -1; }

int tour_moving_events_enable(tour_moving_event_cb callback, void *user_data,
                              int camera_id) {
  return moving.enable(callback, user_data, camera_id);
}

void tour_moving_events_disable(int camera_id) { moving.disable(camera_id); }

} // extern "C"
