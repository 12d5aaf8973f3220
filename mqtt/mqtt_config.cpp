#include "mqtt_config.h"

#include "tour_text.h"

#include <glib.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

std::optional<int> mqtt_whole_number(std::string_view text, int min, int max) {
  if (text.empty() || text.size() > 10)
    return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < min || value > max)
    return std::nullopt;
  return static_cast<int>(value);
}

namespace {

/* A password longer than this is not a password but a wrong file. */
constexpr gsize kPasswordMax = 1024;
constexpr size_t kTopicMax = 200;

bool printable_ascii(const std::string &text) {
  for (const unsigned char c : text)
    if (c <= 0x20 || c >= 0x7f)
      return false;
  return true;
}

/* A topic prefix the bridge appends levels to: no wildcard, no empty
 * level, no control character, not one of the broker's own "$" topics. */
std::optional<std::string> topic_problem(const std::string &topic) {
  if (topic.empty() || topic.size() > kTopicMax)
    return "must be 1 to " + std::to_string(kTopicMax) + " bytes";
  if (!tour_text_is_plain(topic) ||
      !g_utf8_validate(topic.data(), topic.size(), nullptr))
    return std::string("must be UTF-8 text without control characters");
  if (topic.find_first_of("+#") != std::string::npos)
    return std::string("must not hold the wildcards + or #");
  if (topic.front() == '$')
    return std::string("must not start with $ (the broker's own topics)");
  if (topic.front() == '/' || topic.back() == '/' ||
      topic.find("//") != std::string::npos)
    return std::string("must not start or end with / or hold an empty level");
  return std::nullopt;
}

std::optional<std::string> readable_file(const std::string &path) {
  if (path.empty() || path.front() != '/')
    return std::string("must be an absolute file name");
  if (access(path.c_str(), R_OK) != 0)
    return std::string("cannot read ") + tour_text_bounded(path, 256) + ": " +
           g_strerror(errno);
  return std::nullopt;
}

std::optional<std::string> read_password(const std::string &path,
                                         std::string *password) {
  if (auto problem = readable_file(path))
    return problem;
  g_autoptr(GError) error = nullptr;
  g_autofree char *contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, &error))
    return std::string(error->message);
  if (length > kPasswordMax)
    return "the file is longer than " + std::to_string(kPasswordMax) + " bytes";
  std::string_view text(contents, length);
  if (text.ends_with('\n'))
    text.remove_suffix(1);
  if (text.ends_with('\r'))
    text.remove_suffix(1);
  if (text.empty())
    return std::string("the file is empty");
  if (text.find('\0') != std::string_view::npos ||
      text.find('\n') != std::string_view::npos)
    return std::string("the file must hold the password on one line");
  password->assign(text);
  return std::nullopt;
}

using Check = std::optional<std::string> (*)(const std::string &value,
                                             MqttConfig &config);

struct Key {
  const char *group;
  const char *name;
  Check check;
};

constexpr std::array<Key, 12> kKeys{{
    {"broker", "host",
     [](const std::string &v, MqttConfig &c) -> std::optional<std::string> {
       if (v.empty() || v.size() > 253 || !printable_ascii(v))
         return std::string(
             "must be a host name or address (1 to 253 characters, no spaces)");
       c.host = v;
       return std::nullopt;
     }},
    {"broker", "port",
     [](const std::string &v, MqttConfig &c) -> std::optional<std::string> {
       const auto port = mqtt_whole_number(v, 1, 65535);
       if (!port)
         return std::string("must be a whole number from 1 to 65535");
       c.port = *port;
       return std::nullopt;
     }},
    {"broker", "client-id",
     [](const std::string &v, MqttConfig &c) -> std::optional<std::string> {
       if (v.empty() || v.size() > 128 || !printable_ascii(v))
         return std::string(
             "must be 1 to 128 printable characters without spaces");
       c.client_id = v;
       return std::nullopt;
     }},
    {"broker", "username",
     [](const std::string &v, MqttConfig &c) -> std::optional<std::string> {
       if (v.empty() || v.size() > 256 || !tour_text_is_plain(v) ||
           !g_utf8_validate(v.data(), v.size(), nullptr))
         return std::string(
             "must be 1 to 256 bytes of UTF-8 without control characters");
       c.username = v;
       return std::nullopt;
     }},
    {"broker", "password-file",
     [](const std::string &v, MqttConfig &c) {
       return read_password(v, &c.password);
     }},
    {"broker", "tls-ca-file",
     [](const std::string &v, MqttConfig &c) {
       c.tls_ca_file = v;
       return readable_file(v);
     }},
    {"broker", "tls-cert-file",
     [](const std::string &v, MqttConfig &c) {
       c.tls_cert_file = v;
       return readable_file(v);
     }},
    {"broker", "tls-key-file",
     [](const std::string &v, MqttConfig &c) {
       c.tls_key_file = v;
       return readable_file(v);
     }},
    {"broker", "keepalive",
     [](const std::string &v, MqttConfig &c) -> std::optional<std::string> {
       const auto seconds = mqtt_whole_number(v, 5, 65535);
       if (!seconds)
         return std::string(
             "must be a whole number of seconds from 5 to 65535");
       c.keepalive = *seconds;
       return std::nullopt;
     }},
    {"topics", "base",
     [](const std::string &v, MqttConfig &c) {
       c.base = v;
       return topic_problem(v);
     }},
    {"topics", "discovery-prefix",
     [](const std::string &v, MqttConfig &c) {
       c.discovery_prefix = v;
       return topic_problem(v);
     }},
    {"topics", "discovery",
     [](const std::string &v, MqttConfig &c) -> std::optional<std::string> {
       if (v != "true" && v != "false")
         return std::string("must be true or false");
       c.discovery = v == "true";
       return std::nullopt;
     }},
}};

const Key *find_key(const char *group, const char *name) {
  for (const Key &key : kKeys)
    if (g_strcmp0(key.group, group) == 0 && g_strcmp0(key.name, name) == 0)
      return &key;
  return nullptr;
}

bool group_known(const char *group) {
  for (const Key &key : kKeys)
    if (g_strcmp0(key.group, group) == 0)
      return true;
  return false;
}

/* What holds for the keys together, once each is read. */
std::optional<std::string> combination_problem(const MqttConfig &c) {
  if (!c.password.empty() && c.username.empty())
    return "[broker] password-file: needs username";
  if (c.tls_cert_file.empty() != c.tls_key_file.empty())
    return "[broker] tls-cert-file: tls-cert-file and tls-key-file go together";
  if (!c.tls_cert_file.empty() && !c.tls())
    return "[broker] tls-cert-file: needs tls-ca-file";
  return std::nullopt;
}

} // namespace

std::string mqtt_config_node_name(const char *hostname) {
  std::string node;
  for (const char *c = hostname; c && *c && node.size() < 64; ++c)
    node += g_ascii_isalnum(*c) || *c == '-' || *c == '_' ? *c : '_';
  return node.empty() ? "host" : node;
}

std::optional<MqttConfig>
mqtt_config_load(const char *path, const char *hostname, std::string *error) {
  const std::string file = tour_text_bounded(path, 256);
  g_autoptr(GKeyFile) keys = g_key_file_new();
  g_autoptr(GError) gerror = nullptr;
  if (!g_key_file_load_from_file(keys, path, G_KEY_FILE_NONE, &gerror)) {
    *error = file + ": " +
             (g_error_matches(gerror, G_FILE_ERROR, G_FILE_ERROR_NOENT)
                  ? std::string("no such file")
                  : tour_text_bounded(gerror->message, 512));
    return std::nullopt;
  }
  MqttConfig config;
  config.node = mqtt_config_node_name(hostname);
  bool port_given = false;
  g_auto(GStrv) groups = g_key_file_get_groups(keys, nullptr);
  for (char **group = groups; *group; ++group) {
    if (!group_known(*group)) {
      *error =
          file + ": [" + tour_text_bounded(*group, 64) + "]: unknown group";
      return std::nullopt;
    }
    g_auto(GStrv) names = g_key_file_get_keys(keys, *group, nullptr, nullptr);
    for (char **name = names; name && *name; ++name) {
      const std::string where =
          file + ": [" + *group + "] " + tour_text_bounded(*name, 64);
      const Key *key = find_key(*group, *name);
      if (!key) {
        *error = where + ": unknown key";
        return std::nullopt;
      }
      g_autofree char *raw = g_key_file_get_value(keys, *group, *name, nullptr);
      /* Unescaped (\s, \n, ...), as GKeyFile reads strings. */
      g_autofree char *value =
          g_key_file_get_string(keys, *group, *name, nullptr);
      const std::string text = value ? value : (raw ? raw : "");
      if (auto problem = key->check(text, config)) {
        *error = where + ": " + *problem;
        return std::nullopt;
      }
      port_given = port_given || std::strcmp(*name, "port") == 0;
    }
  }
  if (auto problem = combination_problem(config)) {
    *error = file + ": " + *problem;
    return std::nullopt;
  }
  if (!port_given && config.tls())
    config.port = MQTT_PORT_TLS;
  if (config.base.empty())
    config.base = "patrold/" + config.node;
  if (config.client_id.empty())
    config.client_id = "patrold-mqtt-" + config.node;
  return config;
}
