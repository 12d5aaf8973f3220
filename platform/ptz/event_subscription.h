/*
 * The bus side shared by libptzcommon and libtourevents: platform events are
 * signals of interface "com.vorn.PTZ.Events" at "/com/vorn/PTZ/Events" on the
 * system bus, from any sender.
 *
 * This code is linked statically into both libraries with hidden visibility,
 * so each library has its own copy and neither exports it: a vendor library
 * that replaces one of them owes the other nothing.
 *
 * Every registration is a bus subscription of its own, made on the thread
 * that registers: GDBus delivers each on the main context that was the
 * registering thread's default, so every callback runs where its caller
 * asked for it. GDBus shares one match rule among equal subscriptions, so
 * eight cameras still cost the bus one rule, and an idle daemon none.
 */
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <gio/gio.h>

namespace ptz_events {

inline constexpr const char *kInterface = "com.vorn.PTZ.Events";
inline constexpr const char *kObjectPath = "/com/vorn/PTZ/Events";

/* Cameras 1..kCameras; per-camera tables are indexed by camera id - 1. */
inline constexpr int kCameras = 8;

constexpr std::optional<std::size_t> camera_slot(int camera_id) {
  if (camera_id < 1 || camera_id > kCameras)
    return std::nullopt;
  return static_cast<std::size_t>(camera_id - 1);
}

/* The process's shared system bus connection, borrowed; fetched on first use
 * and kept. nullptr when no bus can be reached (tried again next time). */
GDBusConnection *system_bus();

/* Who gets one signal: `forward` unpacks the body (already of the expected
 * type) and calls `callback` (cast back to its real type) with `user_data`. */
struct Receiver {
  void (*forward)(const Receiver &receiver, GVariant *body) = nullptr;
  void (*callback)() = nullptr;
  void *user_data = nullptr;
  int camera_id = 0; /* the camera a per-camera receiver serves */

  bool operator==(const Receiver &) const = default;
};

/* One registration: a subscription to one signal for one receiver, on the
 * main context of the thread that made it. Not thread-safe by itself: each
 * library calls it under its own lock. */
class Subscription {
public:
  constexpr Subscription() = default;
  Subscription(const Subscription &) = delete;
  Subscription &operator=(const Subscription &) = delete;

  /* Subscribes `receiver` on the calling thread's context, replacing what
   * was there; the same receiver on the same context is kept as it is, so a
   * repeated switch-on gives one delivery. Returns once the bus has the
   * match rule: 0, or -1 without a bus. */
  int want(const char *member, const char *signature, const Receiver &receiver);
  /* Unsubscribes if subscribed. */
  void drop();
  bool active() const { return id_ != 0; }

private:
  GDBusConnection *connection_ = nullptr; /* a reference while subscribed */
  GMainContext *context_ = nullptr;       /* a reference while subscribed */
  Receiver receiver_{};
  guint id_ = 0;
};

/* Per-camera registrations of one "(ii)" signal (camera id, value): at most
 * one callback per camera, so switching a camera on again replaces it. */
class CameraEvents {
public:
  using Callback = void (*)(void *user_data, int value);

  constexpr explicit CameraEvents(const char *member) : member_(member) {}
  CameraEvents(const CameraEvents &) = delete;
  CameraEvents &operator=(const CameraEvents &) = delete;

  /* 0, or -1 for a camera outside 1..kCameras, no callback or no bus. */
  int enable(Callback callback, void *user_data, int camera_id);
  /* Any camera id is accepted; one without a registration is ignored. */
  void disable(int camera_id);

private:
  const char *member_;
  std::mutex lock_;
  std::array<Subscription, kCameras> cameras_{};
};

/* Registrations of one signal for every camera, any number of them; each
 * gets every signal. */
class EveryCameraEvents {
public:
  EveryCameraEvents(const char *member, const char *signature)
      : member_(member), signature_(signature) {}
  EveryCameraEvents(const EveryCameraEvents &) = delete;
  EveryCameraEvents &operator=(const EveryCameraEvents &) = delete;

  /* 0, or -1 without a bus. */
  int add(const Receiver &receiver);
  /* Ends every registration. */
  void clear();

private:
  const char *member_;
  const char *signature_;
  std::mutex lock_;
  /* Each on the heap, as a Subscription does not move. Not a std::list:
   * its node code lies in a stretch of libstdc++ that the daemon would
   * otherwise never touch, resident for good once run. */
  std::vector<std::unique_ptr<Subscription>> registrations_;
};

} // namespace ptz_events
