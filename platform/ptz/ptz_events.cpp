// Control-queue and preset events of libptzcommon, received as the
// "ControlChanged" (is) and "PresetReached" (ii) signals.
//
// The control registration is guarded by a lock; callbacks are called
// outside it (copied first), so a callback may switch subscriptions itself. All
// registrations share one subscription per signal, made on the main context
// of the thread that registered first while none was there; the daemon
// registers everything from its main loop's thread.
#include "ptz_common.h"

#include <mutex>

#include "event_subscription.h"

namespace {

using ptz_events::SignalSubscription;

struct ControlRegistration {
  control_queue_event_cb callback = nullptr;
  void *user_data = nullptr;
};

std::mutex events_lock;
ControlRegistration control{};

void on_control_changed(GVariant *parameters) {
  gint32 camera_id = 0;
  const char *client_name = nullptr;
  g_variant_get(parameters, "(i&s)", &camera_id, &client_name);
  ControlRegistration target;
  {
    std::lock_guard guard(events_lock);
    target = control;
  }
  // Every camera id goes through: the receiver owns the range check.
  if (target.callback)
    target.callback(target.user_data, camera_id, client_name);
}

void on_preset_reached(GVariant *parameters);

constinit SignalSubscription control_signal{"ControlChanged", "(is)",
                                            on_control_changed};
constinit ptz_events::CameraEvents presets{"PresetReached",
                                          on_preset_reached};

void on_preset_reached(GVariant *parameters) { presets.deliver(parameters); }

} // namespace

extern "C" {

int initialize_subscriber_queue(void) {
  return ptz_events::system_bus() ? 0 : -1;
}

int control_queue_events_init(control_queue_event_cb callback,
                              void *user_data) {
  if (!callback)
    return -1;
  std::lock_guard guard(events_lock);
  if (control_signal.want() != 0)
    return -1;
  control = {callback, user_data};
  return 0;
}

void control_queue_events_cleanup(void) {
  std::lock_guard guard(events_lock);
  control = {};
  control_signal.drop();
}

int preset_events_init(preset_event_cb callback, void *user_data,
                       int camera_id) {
  return presets.enable(callback, user_data, camera_id);
}

void preset_events_cleanup(int camera_id) { presets.disable(camera_id); }

} // extern "C"
