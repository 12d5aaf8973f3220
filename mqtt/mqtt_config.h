/*
 * mqtt_config: the bridge's configuration file, a GKeyFile.
 *
 *   [broker] host, port, client-id, username, password-file, tls-ca-file,
 *            tls-cert-file, tls-key-file, keepalive
 *   [topics] base, discovery-prefix, discovery
 *
 * Every value is checked here, before anything connects: an unknown group
 * or key, a value out of range, a file that cannot be read. The password is
 * read from password-file alone and is never written anywhere by the
 * bridge; no message of this module quotes it.
 *
 * Threads: pure functions. Ownership: the caller owns the returned value.
 */
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr const char MQTT_CONFIG_DEFAULT[] = "/etc/patrold/mqtt.conf";
inline constexpr int MQTT_PORT_PLAIN = 1883;
inline constexpr int MQTT_PORT_TLS = 8883;

struct MqttConfig {
  std::string host = "localhost";
  int port = MQTT_PORT_PLAIN;
  std::string client_id;
  std::string username;
  std::string password; /* the contents of password-file */
  std::string tls_ca_file;
  std::string tls_cert_file;
  std::string tls_key_file;
  int keepalive = 60;
  std::string base;
  std::string discovery_prefix = "homeassistant";
  bool discovery = true;
  /* The host's name as a topic level and discovery id: letters, digits,
   * '-' and '_' only. */
  std::string node;

  bool tls() const { return !tls_ca_file.empty(); }
};

/* `hostname` made fit for a topic level and a Home Assistant id. */
std::string mqtt_config_node_name(const char *hostname);

/* 1 to 10 decimal digits, nothing else, from min to max. */
std::optional<int> mqtt_whole_number(std::string_view text, int min, int max);

/* Reads and checks `path`. On failure nullopt, with `error` set to one line
 * naming the file, the key and the reason. */
std::optional<MqttConfig>
mqtt_config_load(const char *path, const char *hostname, std::string *error);
