/*
 * mqtt_commands: the commands that arrive on <base>/camera/<N>/<what>/set,
 * checked and turned into patrold's bus methods.
 *
 *   tour/set   a tour number, a tour name (as the select offers it), or
 *              "stop" ("Stopped", the select's own option, too): plays the
 *              tour on camera N, which must be its camera; or stops N's tour
 *   pause/set  ON / OFF: pauses or resumes N's tour
 *   block/set  ON / OFF: BlockPlayback / UnblockPlayback of camera N
 *
 * A payload is refused unread past MQTT_MAX_PAYLOAD bytes, and must be
 * UTF-8 text without control characters (white space around it is
 * dropped). An empty message (what clears a retained one) is ignored, and
 * so is a command given as retained at subscription: it would replay
 * whenever the bridge connects. A command that is refused (bad payload, unknown
 * camera or tour, patrold absent, or patrold's own refusal) changes nothing;
 * the reason is logged once and handed to `refused`. Calls to patrold are
 * asynchronous: a busy patrold never holds the bridge's main loop.
 *
 * Threads: main loop only. Ownership: borrows the bus and the follower,
 * which must outlive the commands.
 */
#pragma once

#include <gio/gio.h>

#include <string>
#include <string_view>

#include "mqtt_config.h"
#include "mqtt_follower.h"

struct CommandEvents {
  /* `camera` is the number the topic named (maybe not a camera at all), or
   * -1 when it named no number. */
  void (*refused)(void *data, int camera, const std::string &reason);
  void *data;
};

class Commands {
public:
  Commands(const MqttConfig &config, GDBusConnection *bus, Follower &follower,
           CommandEvents events);
  void handle(const char *topic, std::string_view payload, bool oversized,
              bool retained);

private:
  struct Call;
  void refuse(int camera, const std::string &what, const std::string &reason);
  void tour(int camera, const std::string &what, const std::string &text);
  void pause(int camera, const std::string &what, bool on);
  void call(int camera, const std::string &what, const char *interface,
            const char *method, int32_t argument);
  static void on_reply(GObject *, GAsyncResult *, gpointer);

  std::string prefix_; /* <base>/camera/ */
  GDBusConnection *bus_;
  Follower &follower_;
  CommandEvents events_;
};
