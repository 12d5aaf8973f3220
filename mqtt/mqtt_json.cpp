#include "mqtt_json.h"

#include "tour_text.h"

#include <json-glib/json-glib.h>

#include <set>

namespace {

std::string to_text(JsonBuilder *builder) {
  g_autoptr(JsonNode) root = json_builder_get_root(builder);
  g_autoptr(JsonGenerator) generator = json_generator_new();
  json_generator_set_root(generator, root);
  g_autofree char *text = json_generator_to_data(generator, nullptr);
  return text;
}

void add_string(JsonBuilder *b, const char *key, const std::string &value) {
  json_builder_set_member_name(b, key);
  json_builder_add_string_value(b, value.c_str());
}

/* A number, or null for patrold's "none" (-1). */
void add_number(JsonBuilder *b, const char *key, int32_t value) {
  json_builder_set_member_name(b, key);
  if (value < 0)
    json_builder_add_null_value(b);
  else
    json_builder_add_int_value(b, value);
}

/* Microseconds since the epoch as ISO 8601 UTC to the second, or null. */
void add_time(JsonBuilder *b, const char *key, uint64_t microseconds) {
  json_builder_set_member_name(b, key);
  g_autoptr(GDateTime) time =
      microseconds == 0 || microseconds / G_USEC_PER_SEC > G_MAXINT64
          ? nullptr
          : g_date_time_new_from_unix_utc(
                static_cast<gint64>(microseconds / G_USEC_PER_SEC));
  g_autofree char *text =
      time ? g_date_time_format(time, "%Y-%m-%dT%H:%M:%SZ") : nullptr;
  if (text)
    json_builder_add_string_value(b, text);
  else
    json_builder_add_null_value(b);
}

std::string discovery_topic(const MqttConfig &config, const char *component,
                            int camera, const char *object) {
  return config.discovery_prefix + "/" + component + "/patrold_" + config.node +
         "/camera" + std::to_string(camera) + "_" + object + "/config";
}

/* The members every entity of a camera shares. */
void add_common(JsonBuilder *b, const MqttConfig &config, int camera,
                const char *object, const char *name) {
  const std::string id =
      "patrold_" + config.node + "_camera" + std::to_string(camera);
  add_string(b, "name", name);
  add_string(b, "unique_id", id + "_" + object);
  add_string(b, "object_id", id + "_" + object);
  add_string(b, "availability_topic", mqtt_topic_availability(config));
  add_string(b, "state_topic", mqtt_topic_camera(config, camera, "state"));
  json_builder_set_member_name(b, "qos");
  json_builder_add_int_value(b, 1);
  json_builder_set_member_name(b, "device");
  json_builder_begin_object(b);
  json_builder_set_member_name(b, "identifiers");
  json_builder_begin_array(b);
  json_builder_add_string_value(b, id.c_str());
  json_builder_end_array(b);
  add_string(b, "name", config.node + " camera " + std::to_string(camera));
  add_string(b, "manufacturer", "patrold");
  add_string(b, "model", "PTZ camera head");
  json_builder_end_object(b);
}

std::string select_config(const MqttConfig &config, int camera,
                          const std::vector<TourEntry> &tours) {
  g_autoptr(JsonBuilder) b = json_builder_new();
  json_builder_begin_object(b);
  add_common(b, config, camera, "tour", "Tour");
  add_string(b, "command_topic", mqtt_topic_camera(config, camera, "tour/set"));
  add_string(
      b, "value_template",
      "{% if value_json.tour is none %}Stopped{% elif value_json.tour_name %}"
      "{{ value_json.tour_name }}{% else %}Tour {{ value_json.tour }}{% endif "
      "%}");
  json_builder_set_member_name(b, "options");
  json_builder_begin_array(b);
  /* Options must differ; a second tour of the same name is played by its
   * number. */
  std::set<std::string> offered{MQTT_STOPPED_OPTION};
  for (const TourEntry &tour : tours) {
    if (tour.camera != camera)
      continue;
    const std::string option = mqtt_tour_option(tour);
    if (offered.insert(option).second)
      json_builder_add_string_value(b, option.c_str());
  }
  json_builder_add_string_value(b, MQTT_STOPPED_OPTION);
  json_builder_end_array(b);
  json_builder_end_object(b);
  return to_text(b);
}

std::string switch_config(const MqttConfig &config, int camera,
                          const char *object, const char *name,
                          const char *value_template) {
  g_autoptr(JsonBuilder) b = json_builder_new();
  json_builder_begin_object(b);
  add_common(b, config, camera, object, name);
  add_string(b, "command_topic",
             mqtt_topic_camera(config, camera,
                               (std::string(object) + "/set").c_str()));
  add_string(b, "value_template", value_template);
  add_string(b, "payload_on", "ON");
  add_string(b, "payload_off", "OFF");
  add_string(b, "state_on", "ON");
  add_string(b, "state_off", "OFF");
  json_builder_end_object(b);
  return to_text(b);
}

std::string sensor_config(const MqttConfig &config, int camera) {
  g_autoptr(JsonBuilder) b = json_builder_new();
  json_builder_begin_object(b);
  add_common(b, config, camera, "state", "Tour state");
  add_string(b, "value_template", "{{ value_json.state }}");
  /* The whole state document, dwell_until among it. */
  add_string(b, "json_attributes_topic",
             mqtt_topic_camera(config, camera, "state"));
  json_builder_end_object(b);
  return to_text(b);
}

} // namespace

std::string mqtt_topic_availability(const MqttConfig &config) {
  return config.base + "/availability";
}

std::string mqtt_topic_tours(const MqttConfig &config) {
  return config.base + "/tours";
}

std::string mqtt_topic_camera(const MqttConfig &config, int camera,
                              const char *leaf) {
  return config.base + "/camera/" + std::to_string(camera) + "/" + leaf;
}

std::string mqtt_tour_option(const TourEntry &tour) {
  return tour.name.empty() ? "Tour " + std::to_string(tour.id)
                           : tour_text_bounded(tour.name);
}

std::string mqtt_json_state(const CameraState &c, const TourEntry *tour) {
  g_autoptr(JsonBuilder) b = json_builder_new();
  json_builder_begin_object(b);
  add_string(b, "state", tour_text_bounded(c.state, 32));
  add_number(b, "tour", c.tour_id);
  add_string(b, "tour_name",
             c.tour_id < 0 ? ""
             : tour        ? tour_text_bounded(tour->name)
                           : tour_text_bounded(c.tour_name));
  add_number(b, "point", c.point_index);
  add_number(b, "preset", c.preset);
  json_builder_set_member_name(b, "blocked");
  json_builder_add_boolean_value(b, c.blocked);
  add_time(b, "dwell_until", c.dwell_until);
  add_string(b, "last_error",
             tour_text_bounded(c.last_error, TOUR_TEXT_VALUE_MAX));
  add_time(b, "last_error_time", c.last_error_time);
  json_builder_end_object(b);
  return to_text(b);
}

std::string mqtt_json_tours(const std::vector<TourEntry> &tours) {
  g_autoptr(JsonBuilder) b = json_builder_new();
  json_builder_begin_array(b);
  for (const TourEntry &tour : tours) {
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "tour");
    json_builder_add_int_value(b, tour.id);
    add_string(b, "name", tour_text_bounded(tour.name));
    json_builder_set_member_name(b, "camera");
    json_builder_add_int_value(b, tour.camera);
    json_builder_end_object(b);
  }
  json_builder_end_array(b);
  return to_text(b);
}

std::vector<Retained> mqtt_json_discovery(const MqttConfig &config, int camera,
                                          const std::vector<TourEntry> &tours) {
  return {
      {discovery_topic(config, "select", camera, "tour"),
       select_config(config, camera, tours)},
      {discovery_topic(config, "switch", camera, "pause"),
       switch_config(config, camera, "pause", "Pause",
                     "{{ 'ON' if value_json.state == 'paused' else 'OFF' }}")},
      {discovery_topic(config, "switch", camera, "block"),
       switch_config(config, camera, "block", "Block",
                     "{{ 'ON' if value_json.blocked else 'OFF' }}")},
      {discovery_topic(config, "sensor", camera, "state"),
       sensor_config(config, camera)},
  };
}
