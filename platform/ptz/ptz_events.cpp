// Control-queue and preset events of libptzcommon, received as the
// "ControlChanged" (is) and "PresetReached" (ii) signals.
//
// The tables below are guarded by one lock; callbacks are called outside it
// (copied first), so a callback may switch subscriptions itself. All
// registrations share one subscription per signal, made on the main context
// of the thread that registered first while none was there; the daemon
// registers everything from its main loop's thread.
#include "ptz_common.h"

#include <algorithm>
#include <mutex>

#include "event_subscription.h"

namespace {

using ptz_events::camera_slot;
using ptz_events::SignalSubscription;

struct ControlRegistration {
  control_queue_event_cb callback = nullptr;
  void *user_data = nullptr;
};

struct PresetRegistration {
  preset_event_cb callback = nullptr;
  void *user_data = nullptr;
};

std::mutex events_lock;
ControlRegistration control{};
std::array<PresetRegistration, ptz_events::kCameras> presets{};

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

void on_preset_reached(GVariant *parameters) {
  gint32 camera_id = 0;
  gint32 event = 0;
  g_variant_get(parameters, "(ii)", &camera_id, &event);
  auto slot = camera_slot(camera_id);
  if (!slot)
    return;
  PresetRegistration target;
  {
    std::lock_guard guard(events_lock);
    target = presets[*slot];
  }
  if (target.callback)
    target.callback(target.user_data, event);
}

constinit SignalSubscription control_signal{"ControlChanged", "(is)",
                                            on_control_changed};
constinit SignalSubscription preset_signal{"PresetReached", "(ii)",
                                           on_preset_reached};

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
  auto slot = camera_slot(camera_id);
  if (!slot || !callback)
    return -1;
  std::lock_guard guard(events_lock);
  if (preset_signal.want() != 0)
    return -1;
  presets[*slot] = {callback, user_data};
  return 0;
}

void preset_events_cleanup(int camera_id) {
  auto slot = camera_slot(camera_id);
  if (!slot)
    return;
  std::lock_guard guard(events_lock);
  presets[*slot] = {};
  if (std::none_of(presets.begin(), presets.end(),
                   [](const PresetRegistration &r) { return r.callback; }))
    preset_signal.drop();
}

} // extern "C"
