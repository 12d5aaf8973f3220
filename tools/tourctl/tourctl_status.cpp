/*
 * The daemon's live status: eight objects under an object manager, read
 * once (status), or followed through PropertiesChanged (watch, and the wait
 * after a stop). Nothing here polls the daemon.
 */
#include "tourctl.h"

#include <glib-unix.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace tourctl {

namespace {

constexpr const char *kBusName = PATROLD_BUS_NAME;
constexpr const char *kStatusRoot = PATROLD_STATUS_PATH;
constexpr const char *kCameraInterface = PATROLD_STATUS_INTERFACE;
constexpr int kCallTimeoutMs = 10000;

/* The camera an object path names ("/com/vorn/PresetTourStatus/Camera3"),
 * or 0. */
int camera_of(const char *path) {
  const std::string prefix = std::string(kStatusRoot) + "/Camera";
  if (!g_str_has_prefix(path, prefix.c_str()))
    return 0;
  return parse_int(path + prefix.size(), 1, kCameraCount).value_or(0);
}

std::string why_unreadable(const GError *error) {
  g_autofree char *remote = g_dbus_error_get_remote_error(error);
  if (g_strcmp0(remote, "org.freedesktop.DBus.Error.ServiceUnknown") == 0 ||
      g_strcmp0(remote, "org.freedesktop.DBus.Error.NameHasNoOwner") == 0)
    return "patrold is not running";
  if (g_strcmp0(remote, "org.freedesktop.DBus.Error.AccessDenied") == 0)
    return "not allowed: run as root or as a member of patrold-operators";
  if (g_strcmp0(remote, "org.freedesktop.DBus.Error.UnknownMethod") == 0 ||
      g_strcmp0(remote, "org.freedesktop.DBus.Error.UnknownObject") == 0 ||
      g_strcmp0(remote, "org.freedesktop.DBus.Error.UnknownInterface") == 0)
    return "this patrold has no live status";
  g_autoptr(GError) copy = g_error_copy(error);
  g_dbus_error_strip_remote_error(copy);
  return copy->message;
}

std::string number_or_dash(int32_t value) {
  return value < 0 ? "-" : std::to_string(value);
}

/* A text of the status: patrold sends its stored texts already escaped
 * and bounded, which is shown as sent; anything else (another program on
 * the name) is escaped here. */
std::string from_bus(const std::string &text,
                     size_t max_bytes = TOUR_TEXT_NAME_MAX) {
  std::string raw;
  if (text.size() <= max_bytes && tour_text_unescape(text, &raw) &&
      tour_text_escape(raw) == text)
    return text;
  return tour_text_bounded(text, max_bytes);
}

/* Time left in the dwell, whole seconds rounded up (days when long), with
 * its end. */
std::string dwell_left(const CameraStatus &camera) {
  if (camera.state != "dwelling" || camera.dwell_until == 0)
    return "-";
  const int64_t now = g_get_real_time();
  const int64_t left = camera.dwell_until > static_cast<uint64_t>(now)
                           ? static_cast<int64_t>(camera.dwell_until) - now
                           : 0;
  const int64_t seconds = (left + G_USEC_PER_SEC - 1) / G_USEC_PER_SEC;
  const std::string amount = seconds < 100000
                                 ? std::to_string(seconds) + " s"
                                 : std::to_string(seconds / 86400) + " d";
  return amount + " (" + clock_time(camera.dwell_until) + ")";
}

/* An error text for a person: GDBus's "GDBus.Error:<name>: " prefixes say
 * nothing an operator can act on, the message after them does. */
std::string plain_error(const std::string &text) {
  std::string out = from_bus(text, TOUR_TEXT_VALUE_MAX);
  for (size_t at; (at = out.find("GDBus.Error:")) != std::string::npos;) {
    const size_t end = out.find(": ", at);
    out.erase(at, end == std::string::npos ? std::string::npos : end + 2 - at);
  }
  return out;
}

void print_table(const Status &status) {
  std::printf("%-6s %-5s %-16s %-8s %-5s %-6s %-29s %-20s %-7s %s\n", "CAMERA",
              "TOUR", "NAME", "STATE", "INDEX", "PRESET", "DWELL LEFT", "NEXT",
              "BLOCKED", "LAST ERROR");
  for (const CameraStatus &c : status.cameras) {
    const std::string error =
        c.last_error.empty()
            ? "-"
            : clock_time(c.last_error_time) + " " + plain_error(c.last_error);
    std::printf(
        "%-6d %-5s %s %s %-5s %-6s %-29s %-20s %-7s %s\n", c.camera,
        number_or_dash(c.tour_id).c_str(),
        cell(c.tour_name.empty() ? "-" : from_bus(c.tour_name), 16).c_str(),
        cell(from_bus(c.state, 16), 8).c_str(),
        number_or_dash(c.point_index).c_str(), number_or_dash(c.preset).c_str(),
        dwell_left(c).c_str(), schedule_next(c).c_str(),
        c.blocked ? "yes" : "no", cell(error, 60).c_str());
  }
  std::fflush(stdout);
}

void print_json(const Status &status) {
  std::printf("[");
  const char *separator = "\n";
  for (const CameraStatus &c : status.cameras) {
    std::printf(
        "%s  {\"Camera\": %d, \"TourId\": %d, \"TourName\": %s, \"State\": %s, "
        "\"Blocked\": %s, \"PointIndex\": %d, \"Preset\": %d, \"StateSince\": "
        "%" G_GUINT64_FORMAT ", \"DwellUntil\": %" G_GUINT64_FORMAT
        ", \"LastError\": %s, \"LastErrorTime\": %" G_GUINT64_FORMAT
        ", \"ScheduleNext\": %" G_GUINT64_FORMAT
        ", \"ScheduleNextAction\": %s}",
        separator, c.camera, c.tour_id,
        json_string(from_bus(c.tour_name)).c_str(),
        json_string(from_bus(c.state)).c_str(), c.blocked ? "true" : "false",
        c.point_index, c.preset, c.state_since, c.dwell_until,
        json_string(from_bus(c.last_error, TOUR_TEXT_VALUE_MAX)).c_str(),
        c.last_error_time, c.schedule_next,
        json_string(from_bus(c.schedule_action)).c_str());
    separator = ",\n";
  }
  std::printf("\n]\n");
}

/* Follows the status through PropertiesChanged on one connection. The
 * subscription is made before the first read, so no change falls between. */
class Follower {
public:
  explicit Follower(GDBusConnection *bus) : bus_(bus) {
    changed_ = g_dbus_connection_signal_subscribe(
        bus_, kBusName, "org.freedesktop.DBus.Properties", "PropertiesChanged",
        nullptr, kCameraInterface, G_DBUS_SIGNAL_FLAGS_NONE, on_changed, this,
        nullptr);
    /* Objects exported after the first read (a daemon still starting). */
    added_ = g_dbus_connection_signal_subscribe(
        bus_, kBusName, "org.freedesktop.DBus.ObjectManager", "InterfacesAdded",
        kStatusRoot, nullptr, G_DBUS_SIGNAL_FLAGS_NONE, on_added, this,
        nullptr);
  }
  ~Follower() {
    g_dbus_connection_signal_unsubscribe(bus_, changed_);
    g_dbus_connection_signal_unsubscribe(bus_, added_);
  }
  Follower(const Follower &) = delete;
  Follower &operator=(const Follower &) = delete;

  void reread() { status_ = status_read(bus_); }
  const Status &status() const { return status_; }
  /* Called after each change that was applied. */
  void (*on_update)(Follower &, void *) = nullptr;
  void *user_data = nullptr;

private:
  static void on_added(GDBusConnection *, const char *, const char *,
                       const char *, const char *, GVariant *, gpointer data) {
    auto *self = static_cast<Follower *>(data);
    self->reread();
    if (self->on_update)
      self->on_update(*self, self->user_data);
  }

  static void on_changed(GDBusConnection *, const char *, const char *path,
                         const char *, const char *, GVariant *parameters,
                         gpointer data) {
    auto *self = static_cast<Follower *>(data);
    const int camera = camera_of(path);
    if (camera == 0)
      return;
    g_autoptr(GVariant) changed = g_variant_get_child_value(parameters, 1);
    g_autoptr(GVariant) invalidated = g_variant_get_child_value(parameters, 2);
    if (!self->status_.ok || g_variant_n_children(invalidated) > 0)
      self->reread();
    else
      tour_status_record_apply(self->status_.cameras[camera - 1], changed);
    if (self->on_update)
      self->on_update(*self, self->user_data);
  }

  GDBusConnection *bus_;
  guint changed_ = 0;
  guint added_ = 0;
  Status status_;
};

gboolean quit_loop(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop *>(loop));
  return G_SOURCE_CONTINUE;
}

struct WatchState {
  Follower *follower;
  bool tty;
  GMainLoop *loop;
  Exit exit = Exit::Ok;
};

/* A fresh screen on a terminal; in a pipe, a line saying when. */
void begin_frame(const WatchState &watch) {
  if (watch.tty) {
    std::fputs("\033[H\033[2J", stdout);
    return;
  }
  g_autoptr(GDateTime) now = g_date_time_new_now_local();
  g_autofree char *stamp = g_date_time_format(now, "%Y-%m-%d %H:%M:%S");
  std::printf("\n== %s\n", stamp);
}

void redraw(Follower &follower, void *data) {
  const auto *watch = static_cast<WatchState *>(data);
  if (!follower.status().ok)
    return;
  begin_frame(*watch);
  print_table(follower.status());
}

void on_appeared(GDBusConnection *, const char *, const char *, gpointer data) {
  auto *watch = static_cast<WatchState *>(data);
  watch->follower->reread();
  if (!watch->follower->status().ok) {
    /* Not allowed, or a daemon without a status: waiting changes neither. */
    complain("cannot read patrold's live status: %s",
             watch->follower->status().why.c_str());
    watch->exit = Exit::Failure;
    g_main_loop_quit(watch->loop);
    return;
  }
  redraw(*watch->follower, watch);
}

/* The bus itself went away: nothing will come back on this connection. */
void on_closed(GDBusConnection *, gboolean, GError *, gpointer data) {
  auto *watch = static_cast<WatchState *>(data);
  complain("lost the connection to the system bus");
  watch->exit = Exit::Failure;
  g_main_loop_quit(watch->loop);
}

void on_vanished(GDBusConnection *connection, const char *, gpointer data) {
  auto *watch = static_cast<WatchState *>(data);
  if (connection == nullptr || g_dbus_connection_is_closed(connection))
    return;                  /* on_closed tells it */
  watch->follower->reread(); /* marks the status unreadable */
  begin_frame(*watch);
  std::printf("patrold is not on the bus; waiting for it\n");
  std::fflush(stdout);
}

} // namespace

const CameraStatus *Status::holding(int32_t tour_id) const {
  if (!ok)
    return nullptr;
  for (const CameraStatus &camera : cameras)
    if (camera.tour_id == tour_id)
      return &camera;
  return nullptr;
}

Status status_read(GDBusConnection *bus) {
  Status status;
  for (int i = 0; i < kCameraCount; ++i)
    status.cameras[i].camera = i + 1;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, kBusName, kStatusRoot, "org.freedesktop.DBus.ObjectManager",
      "GetManagedObjects", nullptr, G_VARIANT_TYPE("(a{oa{sa{sv}}})"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &error);
  if (!reply) {
    status.why = why_unreadable(error);
    return status;
  }
  g_autoptr(GVariant) objects = g_variant_get_child_value(reply, 0);
  GVariantIter iter;
  const char *path = nullptr;
  GVariant *interfaces = nullptr;
  int seen = 0;
  g_variant_iter_init(&iter, objects);
  while (g_variant_iter_loop(&iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
    const int camera = camera_of(path);
    g_autoptr(GVariant) properties = g_variant_lookup_value(
        interfaces, kCameraInterface, G_VARIANT_TYPE("a{sv}"));
    if (camera == 0 || !properties)
      continue;
    tour_status_record_apply(status.cameras[camera - 1], properties);
    ++seen;
  }
  status.ok = seen > 0;
  if (!status.ok)
    status.why = "this patrold has no live status";
  return status;
}

Exit run_status(bool json) {
  g_autoptr(GDBusConnection) bus = bus_open();
  if (!bus)
    return Exit::Failure;
  const Status status = status_read(bus);
  if (!status.ok) {
    if (status.why == "patrold is not running")
      complain("%s", status.why.c_str());
    else
      complain("cannot read patrold's live status: %s", status.why.c_str());
    return Exit::Failure;
  }
  if (json)
    print_json(status);
  else
    print_table(status);
  return Exit::Ok;
}

Exit run_watch() {
  g_autoptr(GDBusConnection) bus = bus_open();
  if (!bus)
    return Exit::Failure;
  /* A lost bus ends the watch with a message, not with GLib's SIGTERM. */
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  Follower follower(bus);
  WatchState watch{&follower, isatty(STDOUT_FILENO) == 1, loop};
  follower.on_update = redraw;
  follower.user_data = &watch;
  const guint name_watch = g_bus_watch_name_on_connection(
      bus, kBusName, G_BUS_NAME_WATCHER_FLAGS_NONE, on_appeared, on_vanished,
      &watch, nullptr);
  const gulong closed =
      g_signal_connect(bus, "closed", G_CALLBACK(on_closed), &watch);
  const guint interrupt = g_unix_signal_add(SIGINT, quit_loop, loop);
  const guint terminate = g_unix_signal_add(SIGTERM, quit_loop, loop);
  g_main_loop_run(loop);
  g_source_remove(interrupt);
  g_source_remove(terminate);
  g_bus_unwatch_name(name_watch);
  g_signal_handler_disconnect(bus, closed);
  return watch.exit;
}

bool wait_until_unloaded(GDBusConnection *bus, int32_t tour_id,
                         unsigned timeout_s) {
  struct Wait {
    int32_t tour_id;
    GMainLoop *loop;
  };
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  Wait wait{tour_id, loop};
  Follower follower(bus);
  follower.user_data = &wait;
  follower.on_update = [](Follower &f, void *data) {
    const auto *w = static_cast<Wait *>(data);
    if (!f.status().holding(w->tour_id))
      g_main_loop_quit(w->loop);
  };
  follower.reread();
  if (!follower.status().ok || !follower.status().holding(tour_id))
    return follower.status().ok;
  const guint timeout = g_timeout_add_seconds(timeout_s, quit_loop, loop);
  g_main_loop_run(loop);
  g_source_remove(timeout);
  return !follower.status().holding(tour_id);
}

} // namespace tourctl
