/*
 * The bus names, paths and limits of patrold that the bridge relies on, in
 * one place for the bridge, and the bridge's one logging call.
 */
#pragma once

inline constexpr int MQTT_CAMERA_COUNT = 8;
inline constexpr const char MQTT_PATROLD_NAME[] = "com.vorn.PresetTour";
inline constexpr const char MQTT_PATROLD_PATH[] = "/com/vorn/PresetTour";
inline constexpr const char MQTT_STATUS_ROOT[] = "/com/vorn/PresetTourStatus";
inline constexpr const char MQTT_STATUS_INTERFACE[] = "com.vorn.PresetTourStatus.Camera";
inline constexpr const char MQTT_COORDINATOR_INTERFACE[] = "com.vorn.PTZ.Coordinator";

/* One line on standard error (the journal, under systemd), "patrold-mqtt: "
 * first. Stored or received text in it must have passed tour_text.h. */
[[gnu::format(printf, 1, 2)]] void mqtt_log(const char *format, ...);
