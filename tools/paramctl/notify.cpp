/*
 * Running-state notification: the daemon learns of a Running value changed
 * behind its back through SetPresetTourRunning. Fire and forget: no daemon
 * or no bus must never make a committed write look failed.
 */
#include "paramctl.h"

#include <cctype>
#include <string_view>

#include <gio/gio.h>

namespace paramctl {
namespace {

constexpr std::string_view kPrefix = "root.RezazErar.";
constexpr std::string_view kSuffix = ".Running";

/* "G<n>" when `name` is root.RezazErar.G<n>.Running, else empty. */
std::string_view tour_group_of(std::string_view name) {
  if (name.size() <= kPrefix.size() + kSuffix.size() ||
      name.substr(0, kPrefix.size()) != kPrefix ||
      name.substr(name.size() - kSuffix.size()) != kSuffix)
    return {};
  std::string_view group = name.substr(
      kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  if (group.size() < 2 || group[0] != 'G')
    return {};
  for (char ch : group.substr(1))
    if (!std::isdigit(static_cast<unsigned char>(ch)))
      return {};
  return group;
}

void send_running(GDBusConnection *bus, const std::string &value,
                  std::string_view group) {
  if (!g_utf8_validate(value.c_str(), -1, nullptr))
    return;
  g_autoptr(GDBusMessage) message = g_dbus_message_new_method_call(
      "com.vorn.PresetTour", "/com/vorn/PresetTour",
      "com.vorn.PresetTourConfhub", "SetPresetTourRunning");
  std::string group_text(group);
  g_dbus_message_set_body(message,
                          g_variant_new("(ss)", value.c_str(), group_text.c_str()));
  g_dbus_message_set_flags(message, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
  g_dbus_connection_send_message(bus, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE,
                                 nullptr, nullptr);
}

} // namespace

void notify_running_changes(const std::vector<Assignment> &written,
                            const std::vector<int> &changed) {
  g_autoptr(GDBusConnection) bus = nullptr;
  for (size_t i = 0; i < written.size() && i < changed.size(); ++i) {
    std::string_view group = tour_group_of(written[i].name);
    if (!changed[i] || group.empty())
      continue;
    if (!bus) {
      bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
      if (!bus)
        return;
    }
    send_running(bus, written[i].value, group);
  }
  if (bus)
    g_dbus_connection_flush_sync(bus, nullptr, nullptr);
}

} // namespace paramctl
