/*
 * The bus side shared by libptzcommon and libtourevents: platform events are
 * signals of interface "com.vorn.PTZ.Events" at "/com/vorn/PTZ/Events" on the
 * system bus, from any sender.
 *
 * This code is linked statically into both libraries with hidden visibility,
 * so each library has its own copy and neither exports it: a vendor library
 * that replaces one of them owes the other nothing.
 *
 * Not thread-safe by itself: each library calls want()/drop() under its own
 * lock. The signal handler runs on the main context of the thread whose
 * want() made the subscription.
 */
#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <optional>

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

/* Receives the body of a signal, already checked against the signature. */
using SignalHandler = void (*)(GVariant *parameters);

/* One match rule for one signal name, held only while some registration
 * needs it: the libraries subscribe per signal, never per camera, so eight
 * cameras cost the bus one rule, and an idle daemon none. */
class SignalSubscription {
public:
  constexpr SignalSubscription(const char *member, const char *signature,
                               SignalHandler handler)
      : member_(member), signature_(signature), handler_(handler) {}
  SignalSubscription(const SignalSubscription &) = delete;
  SignalSubscription &operator=(const SignalSubscription &) = delete;

  /* Subscribes unless already subscribed, and returns once the bus has the
   * match rule. 0, or -1 without a bus. */
  int want();
  /* Unsubscribes if subscribed. */
  void drop();
  bool active() const { return id_ != 0; }

private:
  static void on_signal(GDBusConnection *connection, const char *sender,
                        const char *path, const char *interface,
                        const char *member, GVariant *parameters,
                        gpointer self);

  const char *member_;
  const char *signature_;
  SignalHandler handler_;
  GDBusConnection *connection_ = nullptr; /* a reference while subscribed */
  guint id_ = 0;
};

/* Per-camera registrations of one "(ii)" signal (camera id, value): at most
 * one callback per camera, so switching a camera on again replaces it and a
 * signal is delivered once; the subscription is held while any camera is
 * registered. Callbacks are called outside the lock (copied first), so a
 * callback may switch subscriptions itself. The library's signal handler
 * forwards to deliver(). */
class CameraEvents {
public:
  using Callback = void (*)(void *user_data, int value);

  constexpr CameraEvents(const char *member, SignalHandler handler)
      : signal_(member, "(ii)", handler) {}
  CameraEvents(const CameraEvents &) = delete;
  CameraEvents &operator=(const CameraEvents &) = delete;

  /* 0, or -1 for a camera outside 1..kCameras, no callback or no bus. */
  int enable(Callback callback, void *user_data, int camera_id);
  /* Any camera id is accepted; one without a registration is ignored. */
  void disable(int camera_id);
  void deliver(GVariant *parameters);

private:
  struct Registration {
    Callback callback = nullptr;
    void *user_data = nullptr;
  };

  std::mutex lock_;
  std::array<Registration, kCameras> cameras_{};
  SignalSubscription signal_;
};

} // namespace ptz_events
