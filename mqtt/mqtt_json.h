/*
 * mqtt_json: the topics of the bridge and the JSON documents it publishes,
 * built with json-glib. Every stored text (tour names, errors) passes
 * tour_text_bounded on its way in, so each document is valid UTF-8 of a
 * bounded size whatever the store holds.
 *
 * Threads: pure functions. Ownership: the caller owns what is returned.
 */
#pragma once

#include <string>
#include <vector>

#include "mqtt_config.h"
#include "mqtt_follower.h"

/* <base>/availability, <base>/tours, <base>/camera/<N>/<leaf>. */
std::string mqtt_topic_availability(const MqttConfig &config);
std::string mqtt_topic_tours(const MqttConfig &config);
std::string mqtt_topic_camera(const MqttConfig &config, int camera,
                              const char *leaf);

/* {"state": ..., "tour": ..., "tour_name": ..., "point": ..., "preset": ...,
 * "blocked": ..., "dwell_until": ..., "last_error": ..., "last_error_time":
 * ...}; absent numbers and times are null, times ISO 8601 UTC. The tour's name
 * is taken from `tour`, the store's entry of camera.tour_id (so that it is
 * exactly the select's option), else from the status. */
std::string mqtt_json_state(const CameraState &camera, const TourEntry *tour);

/* [{"tour": 1, "name": "Front gate", "camera": 1}, ...] */
std::string mqtt_json_tours(const std::vector<TourEntry> &tours);

/* What a select offers for a tour: its name as published, or "Tour <n>"
 * for a tour without a name. MQTT_STOPPED_OPTION stands for no tour. */
inline constexpr const char MQTT_STOPPED_OPTION[] = "Stopped";
std::string mqtt_tour_option(const TourEntry &tour);

struct Retained {
  std::string topic;
  std::string payload;
};

/* The Home Assistant discovery configs of one camera: a select (its tours),
 * a switch for pause, a switch for block, a sensor for the state. */
std::vector<Retained> mqtt_json_discovery(const MqttConfig &config, int camera,
                                          const std::vector<TourEntry> &tours);
