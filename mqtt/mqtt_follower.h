/*
 * mqtt_follower: what the bridge knows of patrold, learnt the way any bus
 * client learns it.
 *
 * - patrold's presence: the owner of com.vorn.PresetTour, followed with a
 *   name watch. When an owner appears the status objects are read once
 *   (GetManagedObjects, asynchronous) and patrold counts as present from
 *   that answer on; when the name is lost it is absent at once.
 * - each camera's status: PropertiesChanged and InterfacesAdded of the
 *   status objects under /com/vorn/PresetTourStatus. Nothing polls.
 * - the configured tours (number, camera, name): read from the parameter
 *   store through the tour parameter library, which is how every tool of
 *   the project reads tours. The store has no change signal, so the list is
 *   read again when patrold shows that tours changed: patrold appears, a
 *   camera's tour or tour name changes, the coordinator's DriverUninstalled
 *   (patrold then deletes that camera's tours; read once it has had a
 *   moment to do so), and when asked (a command names an unknown tour, the
 *   broker connection is made).
 *
 * The follower only observes: it never calls patrold's methods.
 *
 * Threads: main loop only; events are called from it. Ownership: the caller
 * owns the follower and keeps `bus` alive as long as it.
 */
#pragma once

#include <gio/gio.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "mqtt_names.h"
#include "tour_status_record.h"

/* Texts raw, as patrold sent them. */
using CameraState = TourStatusValues;

struct TourEntry {
  int32_t id = -1;
  int32_t camera = 0;
  std::string name; /* raw, as stored */
};

struct FollowerEvents {
  /* patrold became present (its status read) or absent. */
  void (*presence)(void *data, bool present);
  /* Camera `camera`'s status was read or changed. */
  void (*camera)(void *data, int camera);
  /* The tour list was read again. */
  void (*tours)(void *data);
  void *data;
};

class Follower {
public:
  Follower(GDBusConnection *bus, FollowerEvents events);
  ~Follower();
  Follower(const Follower &) = delete;
  Follower &operator=(const Follower &) = delete;

  bool present() const { return present_; }
  /* camera 1 to MQTT_CAMERA_COUNT. */
  const CameraState &camera(int camera) const { return cameras_[camera - 1]; }
  const std::vector<TourEntry> &tours() const { return tours_; }
  /* Reads the tour list from the store now; events.tours follows. */
  void read_tours();

private:
  static void on_appeared(GDBusConnection *, const char *, const char *,
                          gpointer);
  static void on_vanished(GDBusConnection *, const char *, gpointer);
  static void on_changed(GDBusConnection *, const char *, const char *,
                         const char *, const char *, GVariant *, gpointer);
  static void on_added(GDBusConnection *, const char *, const char *,
                       const char *, const char *, GVariant *, gpointer);
  static void on_uninstalled(GDBusConnection *, const char *, const char *,
                             const char *, const char *, GVariant *, gpointer);
  static void on_objects(GObject *, GAsyncResult *, gpointer);
  void read_status();
  void apply(int camera, GVariant *properties);

  GDBusConnection *bus_;
  FollowerEvents events_;
  guint watch_ = 0;
  guint changed_ = 0;
  guint added_ = 0;
  guint uninstalled_ = 0;
  guint reread_timer_ = 0;
  bool present_ = false;
  GCancellable *pending_ = nullptr; /* the status read in flight */
  std::array<CameraState, MQTT_CAMERA_COUNT> cameras_{};
  std::vector<TourEntry> tours_;
};
