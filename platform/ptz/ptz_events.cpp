// Control-queue and preset events of libptzcommon, received as the
// "ControlChanged" (is) and "PresetReached" (ii) signals. Every control
// registration gets every signal; each runs on the main context of the
// thread that registered it.
#include "ptz_common.h"

#include "event_subscription.h"

namespace {

using ptz_events::Receiver;

void forward_control_changed(const Receiver &receiver, GVariant *body) {
  gint32 camera_id = 0;
  const char *client_name = nullptr;
  g_variant_get(body, "(i&s)", &camera_id, &client_name);
  // Every camera id goes through: the receiver owns the range check.
  reinterpret_cast<control_queue_event_cb>(receiver.callback)(
      receiver.user_data, camera_id, client_name);
}

ptz_events::EveryCameraEvents control{"ControlChanged", "(is)"};
constinit ptz_events::CameraEvents presets{"PresetReached"};

} // namespace

extern "C" {

int initialize_subscriber_queue(void) {
  return ptz_events::system_bus() ? 0 : -1;
}

int control_queue_events_init(control_queue_event_cb callback,
                              void *user_data) {
  if (!callback)
    return -1;
  return control.add({forward_control_changed,
                      reinterpret_cast<void (*)()>(callback), user_data, 0});
}

void control_queue_events_cleanup(void) { control.clear(); }

int preset_events_init(preset_event_cb callback, void *user_data,
                       int camera_id) {
  return presets.enable(callback, user_data, camera_id);
}

void preset_events_cleanup(int camera_id) { presets.disable(camera_id); }

} // extern "C"
