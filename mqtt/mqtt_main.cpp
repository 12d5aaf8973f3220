/*
 * patrold-mqtt: carries patrold's live status to an MQTT broker and takes
 * commands back (see patrold-mqtt(8) for the topics).
 *
 *   patrold-mqtt [--config FILE] [--check-config]
 *
 * The bridge owns its three parts and wires them: the follower (what
 * patrold shows), the session (the broker) and the commands (the broker's
 * requests to patrold). Whatever the broker does, patrold never waits for
 * the bridge: patrold's signals are queued on the bridge's bus connection
 * and its method calls are asynchronous.
 *
 * Threads: the main loop only (GDBus keeps its own worker thread, as in
 * every GIO program; libmosquitto runs none).
 */
#include "mqtt_commands.h"
#include "mqtt_config.h"
#include "mqtt_follower.h"
#include "mqtt_json.h"
#include "mqtt_names.h"
#include "mqtt_session.h"

#include <gio/gio.h>
#include <glib-unix.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <memory>

void mqtt_log(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("patrold-mqtt: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

namespace {

/* How long a clean stop waits for the broker to take "offline". */
constexpr int kStopWaitMs = 2000;

struct Bridge {
  MqttConfig config;
  std::unique_ptr<Follower> follower;
  std::unique_ptr<Session> session;
  std::unique_ptr<Commands> commands;
  /* What was last handed to the session per retained topic: a state is
   * published when it changes, and only then. */
  std::array<std::string, MQTT_CAMERA_COUNT> states;
  std::string tours;
  std::vector<std::string> discovery;

  void publish_retained(const std::string &topic, std::string payload,
                        std::string &last) {
    if (payload == last)
      return;
    last = payload;
    session->publish(topic, std::move(payload), true);
  }

  void publish_availability() {
    session->publish(mqtt_topic_availability(config),
                     follower->present() ? "online" : "offline", true);
  }

  void publish_camera(int camera) {
    if (!follower->present())
      return;
    const CameraState &state = follower->camera(camera);
    const TourEntry *tour = nullptr;
    for (const TourEntry &entry : follower->tours())
      if (entry.id == state.tour_id)
        tour = &entry;
    publish_retained(mqtt_topic_camera(config, camera, "state"),
                     mqtt_json_state(state, tour), states[camera - 1]);
  }

  void publish_tours() {
    publish_retained(mqtt_topic_tours(config),
                     mqtt_json_tours(follower->tours()), tours);
    if (!config.discovery)
      return;
    std::size_t i = 0;
    for (int camera = 1; camera <= MQTT_CAMERA_COUNT; ++camera)
      for (Retained &r :
           mqtt_json_discovery(config, camera, follower->tours())) {
        if (discovery.size() <= i)
          discovery.emplace_back();
        publish_retained(r.topic, std::move(r.payload), discovery[i++]);
      }
  }

  /* A new broker session knows nothing: everything again. */
  void republish() {
    states.fill({});
    tours.clear();
    discovery.clear();
    publish_availability();
    follower->read_tours(); /* publishes the tours and discovery */
    for (int camera = 1; camera <= MQTT_CAMERA_COUNT; ++camera)
      publish_camera(camera);
  }
};

FollowerEvents follower_events(Bridge *bridge) {
  return {
      [](void *data, bool present) {
        auto *b = static_cast<Bridge *>(data);
        mqtt_log("patrold %s", present ? "is on the bus" : "left the bus");
        if (present)
          b->states.fill({}); /* a restarted patrold: every state again */
        b->publish_availability();
      },
      [](void *data, int camera) {
        static_cast<Bridge *>(data)->publish_camera(camera);
      },
      [](void *data) { static_cast<Bridge *>(data)->publish_tours(); },
      bridge,
  };
}

SessionEvents session_events(Bridge *bridge) {
  return {
      [](void *data) { static_cast<Bridge *>(data)->republish(); },
      [](void *data, const char *topic, std::string_view payload,
         bool oversized, bool retained) {
        static_cast<Bridge *>(data)->commands->handle(topic, payload, oversized,
                                                      retained);
      },
      bridge,
  };
}

CommandEvents command_events(Bridge *bridge) {
  return {
      [](void *data, int camera, const std::string &reason) {
        auto *b = static_cast<Bridge *>(data);
        b->session->publish(mqtt_topic_camera(b->config, camera, "error"),
                            reason, false);
      },
      bridge,
  };
}

gboolean quit(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop *>(loop));
  return G_SOURCE_CONTINUE;
}

} // namespace

int main(int argc, char **argv) {
  g_autofree char *config_path = nullptr;
  gboolean check_only = FALSE;
  const GOptionEntry entries[] = {
      {"config", 'c', 0, G_OPTION_ARG_FILENAME, &config_path,
       "Configuration file (default /etc/patrold/mqtt.conf)", "FILE"},
      {"check-config", 0, 0, G_OPTION_ARG_NONE, &check_only,
       "Check the configuration file and exit", nullptr},
      {}};
  g_autoptr(GOptionContext) options =
      g_option_context_new("- carry patrold's tours to an MQTT broker");
  g_option_context_add_main_entries(options, entries, nullptr);
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(options, &argc, &argv, &error) || argc > 1) {
    mqtt_log("%s (see --help)", error ? error->message : "unexpected argument");
    return 2;
  }
  std::string problem;
  auto config =
      mqtt_config_load(config_path ? config_path : MQTT_CONFIG_DEFAULT,
                       g_get_host_name(), &problem);
  if (!config) {
    mqtt_log("%s", problem.c_str());
    return 1;
  }
  if (check_only) {
    std::printf("%s: configuration is valid (broker %s:%d%s, base topic %s)\n",
                config_path ? config_path : MQTT_CONFIG_DEFAULT,
                config->host.c_str(), config->port,
                config->tls() ? ", TLS" : "", config->base.c_str());
    return 0;
  }
  g_autoptr(GDBusConnection) bus =
      g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (!bus) {
    mqtt_log("cannot reach the system bus: %s", error->message);
    return 1;
  }
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  Bridge bridge;
  bridge.config = std::move(*config);
  bridge.follower = std::make_unique<Follower>(bus, follower_events(&bridge));
  bridge.commands = std::make_unique<Commands>(
      bridge.config, bus, *bridge.follower, command_events(&bridge));
  bridge.session = std::make_unique<Session>(
      bridge.config, bridge.config.base + "/camera/+/+/set",
      session_events(&bridge));
  const guint term = g_unix_signal_add(SIGTERM, quit, loop);
  const guint interrupt = g_unix_signal_add(SIGINT, quit, loop);
  g_main_loop_run(loop);
  g_source_remove(term);
  g_source_remove(interrupt);
  bridge.session->stop(mqtt_topic_availability(bridge.config), "offline",
                       kStopWaitMs);
  bridge.session.reset();
  bridge.commands.reset();
  bridge.follower.reset();
  mqtt_log("stopped");
  return 0;
}
