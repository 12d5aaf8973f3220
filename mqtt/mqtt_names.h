/*
 * The bus names, paths and limits of patrold that the bridge relies on, from
 * the names every program shares (patrold_names.h), and the bridge's one
 * logging call.
 */
#pragma once

#include "patrold_names.h"

inline constexpr int MQTT_CAMERA_COUNT = IMAGE_SOURCES;
inline constexpr const char *MQTT_PATROLD_NAME = PATROLD_BUS_NAME;
inline constexpr const char *MQTT_PATROLD_PATH = PATROLD_OBJECT_PATH;
inline constexpr const char *MQTT_STATUS_ROOT = PATROLD_STATUS_PATH;
inline constexpr const char *MQTT_STATUS_INTERFACE = PATROLD_STATUS_INTERFACE;
inline constexpr const char *MQTT_COORDINATOR_INTERFACE = COORDINATOR_INTERFACE;

/* One line on standard error (the journal, under systemd), "patrold-mqtt: "
 * first. Stored or received text in it must have passed tour_text.h. */
[[gnu::format(printf, 1, 2)]] void mqtt_log(const char *format, ...);
