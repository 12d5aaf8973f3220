/*
 * mqtt_session: one libmosquitto client driven by the GLib main loop.
 *
 * The broker's socket sits on a GSource of its own: readable calls
 * mosquitto_loop_read, writable (watched only while libmosquitto has
 * something to send) calls mosquitto_loop_write, and the source's ready
 * time calls mosquitto_loop_misc one keepalive after the last traffic, so
 * an idle bridge wakes for the keepalive ping and nothing else. No thread
 * of libmosquitto runs (mosquitto_loop_start is never called).
 *
 * Connection: asynchronous connect (the host name is resolved on the main
 * loop), the last will "offline" retained on <base>/availability, clean
 * session, QoS 1 subscription to the command topics once connected. A lost
 * or refused connection is tried again after an exponential back-off from
 * 1 s to 60 s, jittered, reset by a successful connection.
 *
 * Outgoing messages: publish() hands at most MQTT_MAX_INFLIGHT messages to
 * libmosquitto at a time (QoS 1, each until its PUBACK); the rest wait in a
 * queue holding one message per topic, the newest, and at most
 * MQTT_MAX_QUEUED topics (the oldest is dropped beyond it), so a slow or
 * stalled broker costs bounded memory. While not connected nothing is
 * queued: on each connection the owner publishes its whole state again.
 *
 * Threads: main loop only; events are called from it (from libmosquitto's
 * callbacks, where publishing is allowed). Ownership: the owner keeps the
 * session; `config` is copied.
 */
#pragma once

#include <glib.h>

#include <cstddef>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "mqtt_config.h"

struct mosquitto;
struct mosquitto_message;

inline constexpr size_t MQTT_MAX_INFLIGHT = 16;
inline constexpr size_t MQTT_MAX_QUEUED = 128;
/* The longest command payload read; longer ones are refused unread. */
inline constexpr int MQTT_MAX_PAYLOAD = 512;

struct SessionEvents {
  /* Connected and subscribed: publish the whole state. */
  void (*connected)(void *data);
  /* A message on a subscribed topic. `payload` is at most MQTT_MAX_PAYLOAD
   * bytes; `oversized` says a longer one was cut away. */
  void (*message)(void *data, const char *topic, std::string_view payload,
                  bool oversized, bool retained);
  void *data;
};

class Session {
public:
  /* Starts connecting at once; `subscription` is the topic filter of the
   * commands. */
  Session(const MqttConfig &config, std::string subscription,
          SessionEvents events);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  bool connected() const { return connected_; }
  /* QoS 1; dropped while not connected. */
  void publish(const std::string &topic, std::string payload, bool retain);
  /* Publishes `payload` retained on `topic`, waits (running the main
   * context, at most `timeout_ms`) until the broker has it, then
   * disconnects: the clean stop, with no last will. */
  void stop(const std::string &topic, const std::string &payload,
            int timeout_ms);

private:
  struct Pending {
    std::string payload;
    bool retain;
  };
  struct Source;

  static gboolean dispatch(GSource *source, GSourceFunc, gpointer);
  static gboolean reconnect_timer(gpointer self);
  static void on_connect(struct mosquitto *, void *, int);
  static void on_disconnect(struct mosquitto *, void *, int);
  static void on_publish(struct mosquitto *, void *, int);
  static void on_message(struct mosquitto *, void *,
                         const struct mosquitto_message *);

  void connect();
  void lost(const char *why);
  void watch_socket();
  void after_io();
  void send_queued();
  void touch();

  MqttConfig config_;
  std::string subscription_;
  SessionEvents events_;
  struct mosquitto *mosq_ = nullptr;
  GSource *source_ = nullptr;
  gpointer fd_tag_ = nullptr;
  int fd_ = -1;
  guint retry_ = 0;
  unsigned failures_ = 0;
  bool started_ = false; /* the first connect was made */
  bool connected_ = false;
  bool stopping_ = false;
  bool just_connected_ = false;
  gint64 last_traffic_ = 0;
  std::set<int> inflight_;
  std::deque<std::string> order_; /* queued topics, oldest first */
  std::map<std::string, Pending> queued_;
};
