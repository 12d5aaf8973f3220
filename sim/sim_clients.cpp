/*
 * Client names belong to accounts. The control queue hands the head to a
 * name, and the tour daemon reads the name at the head: its own name ends a
 * hold, another stops or holds its tour. A caller free to pick any name
 * could hold every tour or drive a head as the daemon, so each name stays
 * with the account (uid, as the bus reports it) of the first call naming
 * it, for the simulator's lifetime.
 */
#include "sim.h"

#include <map>
#include <string>

namespace sim {
namespace {

/* The coordinator's few clients use a handful of names; more would be a
 * caller inventing names to grow the table. */
constexpr std::size_t kMaxClientNames = 64;
/* A connection the bus knows no uid of (an anonymous one) */
constexpr guint32 kNoAccount = G_MAXUINT32;

guint32 caller_account(GDBusMethodInvocation *inv) {
  /* The bus never reuses a unique name, so the last answer stays true. */
  static std::string last_sender;
  static guint32 last_account = kNoAccount;
  const char *sender = g_dbus_method_invocation_get_sender(inv);
  if (sender == nullptr)
    return kNoAccount;
  if (last_sender == sender)
    return last_account;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      g_dbus_method_invocation_get_connection(inv), "org.freedesktop.DBus",
      "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixUser",
      g_variant_new("(s)", sender), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (reply == nullptr)
    return kNoAccount;
  g_variant_get(reply, "(u)", &last_account);
  last_sender = sender;
  return last_account;
}

} // namespace

bool refuse_foreign_client(GDBusMethodInvocation *inv, const char *client) {
  static std::map<std::string, guint32> owners;
  const guint32 account = caller_account(inv);
  const auto it = owners.find(client);
  if (it == owners.end() && owners.size() < kMaxClientNames) {
    owners.emplace(client, account);
    return false;
  }
  if (it != owners.end() && it->second == account)
    return false;
  if (it == owners.end())
    g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR,
                                          G_DBUS_ERROR_LIMITS_EXCEEDED,
                                          "Too many client names");
  else
    g_dbus_method_invocation_return_error(
        inv, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED,
        "Client %s is another account's", client);
  return true;
}

} // namespace sim
