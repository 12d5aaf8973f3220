#include "mqtt_commands.h"

#include "mqtt_json.h"
#include "mqtt_session.h"
#include "tour_text.h"

#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr int kCallTimeoutMs = 10000;
constexpr const char *kTourInterface = PATROLD_TOUR_INTERFACE;
constexpr const char *kControllerInterface = PATROLD_CONTROLLER_INTERFACE;
/* Camera numbers beyond this get no error topic of their own. */
constexpr int kErrorTopicCameraMax = 9999;

/* A decimal number of 1 to 9 digits, nothing else. */
std::optional<int> decimal(std::string_view text) {
  if (text.size() > 9)
    return std::nullopt;
  return mqtt_whole_number(text, 0, 999999999);
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

/* ON / OFF, in any case. */
std::optional<bool> on_off(const std::string &text) {
  if (g_ascii_strcasecmp(text.c_str(), "ON") == 0)
    return true;
  if (g_ascii_strcasecmp(text.c_str(), "OFF") == 0)
    return false;
  return std::nullopt;
}

/* A failed call to patrold, as the operator needs it. */
std::string in_operator_words(const GError *error) {
  g_autofree char *remote = g_dbus_error_get_remote_error(error);
  if (g_strcmp0(remote, "org.freedesktop.DBus.Error.ServiceUnknown") == 0 ||
      g_strcmp0(remote, "org.freedesktop.DBus.Error.NameHasNoOwner") == 0)
    return "patrold is not running";
  if (g_strcmp0(remote, "org.freedesktop.DBus.Error.AccessDenied") == 0)
    return "not allowed to control patrold: the bridge's account must be in "
           "patrold-operators";
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
      g_strcmp0(remote, "org.freedesktop.DBus.Error.NoReply") == 0)
    return "patrold did not answer within 10 s";
  g_autoptr(GError) copy = g_error_copy(error);
  g_dbus_error_strip_remote_error(copy);
  return "patrold refused the request: " +
         tour_text_bounded(copy->message, 256);
}

} // namespace

struct Commands::Call {
  Commands *self;
  int camera;
  std::string what;
};

Commands::Commands(const MqttConfig &config, GDBusConnection *bus,
                   Follower &follower, CommandEvents events)
    : prefix_(config.base + "/camera/"), bus_(bus), follower_(follower),
      events_(events) {}

void Commands::refuse(int camera, const std::string &what,
                      const std::string &reason) {
  mqtt_log("refused %s: %s", what.c_str(), reason.c_str());
  if (camera >= 0 && camera <= kErrorTopicCameraMax)
    events_.refused(events_.data, camera, reason);
}

void Commands::handle(const char *topic, std::string_view payload,
                      bool oversized, bool retained) {
  const std::string_view name = topic;
  const std::string shown = tour_text_bounded(name, 256);
  if (!name.starts_with(prefix_)) {
    mqtt_log("ignored a message on %s", shown.c_str());
    return;
  }
  const std::string_view rest = name.substr(prefix_.size());
  const auto slash = rest.find('/');
  const std::optional<int> number = decimal(rest.substr(0, slash));
  const int camera = number.value_or(-1);
  const std::string_view leaf =
      slash == std::string_view::npos ? "" : rest.substr(slash + 1);
  const std::string what =
      "\"" + tour_text_bounded(payload, 64) + "\" on " + shown;
  if (payload.empty() && !oversized) {
    /* How a client clears a retained message: not a command. */
    mqtt_log("ignored an empty message on %s", shown.c_str());
    return;
  }
  if (retained) {
    mqtt_log("ignored a retained command: \"%s\" on %s",
             tour_text_bounded(payload, 64).c_str(), shown.c_str());
    return;
  }
  if (!number || *number < 1 || *number > MQTT_CAMERA_COUNT)
    return refuse(camera, what,
                  "no such camera: cameras are 1 to " +
                      std::to_string(MQTT_CAMERA_COUNT));
  if (oversized)
    return refuse(camera, shown,
                  "the payload is longer than " +
                      std::to_string(MQTT_MAX_PAYLOAD) + " bytes");
  const std::string_view body = trimmed(payload);
  if (body.empty() || !tour_text_is_plain(body))
    return refuse(
        camera, what,
        "the payload must be a word or number without control characters");
  const std::string text(body);
  if (leaf == "tour/set")
    return tour(camera, what, text);
  const std::optional<bool> on = on_off(text);
  if (leaf != "pause/set" && leaf != "block/set")
    return refuse(camera, what,
                  "unknown command: use tour/set, pause/set or block/set");
  if (!on)
    return refuse(camera, what, "the payload must be ON or OFF");
  if (leaf == "pause/set")
    return pause(camera, what, *on);
  if (!follower_.present())
    return refuse(camera, what, "patrold is not running");
  call(camera, what, kControllerInterface,
       *on ? "BlockPlayback" : "UnblockPlayback", camera);
}

void Commands::tour(int camera, const std::string &what,
                    const std::string &text) {
  if (!follower_.present())
    return refuse(camera, what, "patrold is not running");
  const CameraState &state = follower_.camera(camera);
  if (g_ascii_strcasecmp(text.c_str(), "stop") == 0 ||
      text == MQTT_STOPPED_OPTION) {
    if (state.tour_id >= 0)
      call(camera, what, kTourInterface, "StopPresetTour", state.tour_id);
    return;
  }
  const std::optional<int> id = decimal(text);
  auto matches = [&] {
    std::vector<const TourEntry *> found;
    for (const TourEntry &tour : follower_.tours())
      if (id ? tour.id == *id
             : tour.camera == camera && mqtt_tour_option(tour) == text)
        found.push_back(&tour);
    return found;
  };
  std::vector<const TourEntry *> found = matches();
  if (found.empty()) {
    follower_.read_tours(); /* a tour added since the list was read */
    found = matches();
  }
  const std::string shown = tour_text_bounded(text, 64);
  if (found.empty())
    return refuse(camera, what,
                  id ? "no tour " + shown
                     : "camera " + std::to_string(camera) +
                           " has no tour named \"" + shown + "\"");
  if (found.size() > 1)
    return refuse(camera, what,
                  std::to_string(found.size()) + " tours of camera " +
                      std::to_string(camera) + " are named \"" + shown +
                      "\": send the tour's number");
  const TourEntry &tour = *found.front();
  if (tour.camera != camera)
    return refuse(camera, what,
                  "tour " + std::to_string(tour.id) + " belongs to camera " +
                      std::to_string(tour.camera) + ", not camera " +
                      std::to_string(camera));
  if (state.blocked)
    return refuse(camera, what,
                  "camera " + std::to_string(camera) +
                      " is blocked: unblock it first");
  call(camera, what, kTourInterface, "PlayPresetTour", tour.id);
}

void Commands::pause(int camera, const std::string &what, bool on) {
  if (!follower_.present())
    return refuse(camera, what, "patrold is not running");
  const CameraState &state = follower_.camera(camera);
  if (state.tour_id < 0)
    return refuse(camera, what,
                  "no tour plays on camera " + std::to_string(camera));
  call(camera, what, kTourInterface,
       on ? "PausePresetTour" : "ResumePresetTour", state.tour_id);
}

void Commands::call(int camera, const std::string &what, const char *interface,
                    const char *method, int32_t argument) {
  g_dbus_connection_call(bus_, MQTT_PATROLD_NAME, MQTT_PATROLD_PATH, interface,
                         method, g_variant_new("(i)", argument),
                         G_VARIANT_TYPE_UNIT, G_DBUS_CALL_FLAGS_NO_AUTO_START,
                         kCallTimeoutMs, nullptr, on_reply,
                         new Call{this, camera, what});
}

void Commands::on_reply(GObject *source, GAsyncResult *result, gpointer data) {
  std::unique_ptr<Call> call(static_cast<Call *>(data));
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply =
      g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (!reply)
    call->self->refuse(call->camera, call->what, in_operator_words(error));
}
