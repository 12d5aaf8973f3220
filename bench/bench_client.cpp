/*
 * The benchmark's bus client, in C++ so that the figures are the bus's and
 * the services', not an interpreter's per-call overhead.
 *
 *   bench-client roundtrip COUNT TOUR
 *       COUNT sequential PlayPresetTour(TOUR) calls to patrold interleaved
 *       call by call with COUNT Ping calls to the minimal service, on one
 *       connection; prints p50/p99 of each in microseconds as JSON.
 *   bench-client managed COUNT
 *       COUNT sequential GetManagedObjects calls to patrold's status objects
 *       interleaved with COUNT to the minimal service's stand-in for them;
 *       prints p50/p99 of each in microseconds as JSON.
 *   bench-client pipeline patrold|minimal CLIENTS WINDOW SECONDS TOUR
 *       CLIENTS connections, each keeping WINDOW calls outstanding for
 *       SECONDS; prints the replies per second as JSON.
 *
 * Both talk to the system bus (DBUS_SYSTEM_BUS_ADDRESS), as patrold does.
 */
#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

#include <gio/gio.h>

#include "bench_names.h"

namespace {

struct Target {
  const char *name;
  const char *path;
  const char *iface;
  const char *method;
  bool takes_int = true;
};

constexpr Target kPatrold = {BENCH_PATROLD_NAME, BENCH_PATROLD_PATH,
                             BENCH_PATROLD_IFACE, BENCH_PATROLD_METHOD};
constexpr Target kMinimal = {BENCH_MINIMAL_NAME, BENCH_MINIMAL_PATH,
                             BENCH_MINIMAL_IFACE, BENCH_MINIMAL_METHOD};
constexpr Target kPatroldStatus = {
    BENCH_PATROLD_NAME, BENCH_PATROLD_STATUS_PATH, BENCH_MANAGER_IFACE,
    BENCH_MANAGER_METHOD, false};
constexpr Target kMinimalStatus = {
    BENCH_MINIMAL_NAME, BENCH_MINIMAL_STATUS_PATH, BENCH_MANAGER_IFACE,
    BENCH_MANAGER_METHOD, false};
constexpr int kWarmupCalls = 100;

[[noreturn]] void die(const char *what, const GError *error) {
  std::fprintf(stderr, "bench-client: %s: %s\n", what,
               error ? error->message : "failed");
  std::exit(1);
}

/* One blocking call; the elapsed time in nanoseconds. */
int64_t timed_call(GDBusConnection *conn, const Target &t, int32_t arg) {
  g_autoptr(GError) error = nullptr;
  struct timespec a {
  }, b{};
  clock_gettime(CLOCK_MONOTONIC, &a);
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      conn, t.name, t.path, t.iface, t.method,
      t.takes_int ? g_variant_new("(i)", arg) : nullptr, nullptr,
      G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
  clock_gettime(CLOCK_MONOTONIC, &b);
  if (!reply)
    die(t.method, error);
  return (b.tv_sec - a.tv_sec) * 1000000000LL + (b.tv_nsec - a.tv_nsec);
}

double percentile_us(std::vector<int64_t> &ns, double p) {
  std::sort(ns.begin(), ns.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(ns.size() - 1) + 0.5);
  return static_cast<double>(ns[i]) / 1000.0;
}

/* COUNT calls to patrold's target and to the minimal service's, interleaved
 * call by call on one connection; prints p50/p99 of each. */
int interleaved(const Target &ours, const Target &floor, int count,
                int32_t arg) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) conn =
      g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (!conn)
    die("connect", error);
  for (int i = 0; i < kWarmupCalls; ++i) {
    timed_call(conn, ours, arg);
    timed_call(conn, floor, arg);
  }
  std::vector<int64_t> a, b;
  a.reserve(count);
  b.reserve(count);
  for (int i = 0; i < count; ++i) {
    // Alternating who goes first keeps any after-effect of one call on the
    // next (cache, scheduling) from landing on one side only.
    if (i % 2 == 0) {
      a.push_back(timed_call(conn, ours, arg));
      b.push_back(timed_call(conn, floor, arg));
    } else {
      b.push_back(timed_call(conn, floor, arg));
      a.push_back(timed_call(conn, ours, arg));
    }
  }
  std::printf(
      "{\"calls\": %d, \"patrold_p50_us\": %.1f, \"patrold_p99_us\": %.1f,"
      " \"minimal_p50_us\": %.1f, \"minimal_p99_us\": %.1f}\n",
      count, percentile_us(a, 0.5), percentile_us(a, 0.99),
      percentile_us(b, 0.5), percentile_us(b, 0.99));
  return 0;
}

/* One pipelining client: its own connection and main context, so the
 * clients run in parallel like separate processes would. */
struct Client {
  const Target *target = nullptr;
  int32_t arg = 0;
  GDBusConnection *conn = nullptr;
  int64_t deadline = 0;
  long replies = 0;
  long errors = 0;
  int outstanding = 0;
};

void send_one(Client *c);

void on_reply(GObject *source, GAsyncResult *result, gpointer data) {
  auto *c = static_cast<Client *>(data);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply =
      g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  --c->outstanding;
  if (g_get_monotonic_time() >= c->deadline)
    return;
  if (reply)
    ++c->replies;
  else
    ++c->errors;
  send_one(c);
}

void send_one(Client *c) {
  ++c->outstanding;
  g_dbus_connection_call(c->conn, c->target->name, c->target->path,
                         c->target->iface, c->target->method,
                         g_variant_new("(i)", c->arg), nullptr,
                         G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, on_reply, c);
}

void run_client(Client *c, int window, int64_t seconds, const char *address,
                std::barrier<> *ready) {
  GMainContext *ctx = g_main_context_new();
  g_main_context_push_thread_default(ctx);
  g_autoptr(GError) error = nullptr;
  c->conn = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(
          G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (!c->conn)
    die("connect", error);
  ready->arrive_and_wait();
  c->deadline = g_get_monotonic_time() + seconds * G_USEC_PER_SEC;
  for (int i = 0; i < window; ++i)
    send_one(c);
  while (c->outstanding > 0)
    g_main_context_iteration(ctx, TRUE);
  g_dbus_connection_close_sync(c->conn, nullptr, nullptr);
  g_clear_object(&c->conn);
  g_main_context_pop_thread_default(ctx);
  g_main_context_unref(ctx);
}

int pipeline(const Target &target, int clients, int window, int seconds,
             int32_t tour) {
  const char *address = g_getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (!address)
    die("DBUS_SYSTEM_BUS_ADDRESS is not set", nullptr);
  std::vector<Client> state(clients);
  std::barrier ready(clients);
  std::vector<std::thread> threads;
  for (Client &c : state) {
    c.target = &target;
    c.arg = tour;
    threads.emplace_back(run_client, &c, window, seconds, address, &ready);
  }
  for (std::thread &t : threads)
    t.join();
  long replies = 0, errors = 0;
  for (const Client &c : state) {
    replies += c.replies;
    errors += c.errors;
  }
  std::printf("{\"clients\": %d, \"window\": %d, \"seconds\": %d,"
              " \"replies\": %ld, \"errors\": %ld, \"rps\": %.0f}\n",
              clients, window, seconds, replies, errors,
              static_cast<double>(replies) / seconds);
  return errors == 0 ? 0 : 1;
}

int usage() {
  std::fprintf(stderr,
               "usage: bench-client roundtrip COUNT TOUR\n"
               "       bench-client managed COUNT\n"
               "       bench-client pipeline patrold|minimal CLIENTS WINDOW "
               "SECONDS TOUR\n");
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "roundtrip") == 0)
    return interleaved(kPatrold, kMinimal, std::max(1, std::atoi(argv[2])),
                       std::atoi(argv[3]));
  if (argc == 3 && std::strcmp(argv[1], "managed") == 0)
    return interleaved(kPatroldStatus, kMinimalStatus,
                       std::max(1, std::atoi(argv[2])), 0);
  if (argc == 7 && std::strcmp(argv[1], "pipeline") == 0) {
    const Target *target = std::strcmp(argv[2], "patrold") == 0   ? &kPatrold
                           : std::strcmp(argv[2], "minimal") == 0 ? &kMinimal
                                                                  : nullptr;
    if (!target)
      return usage();
    return pipeline(*target, std::max(1, std::atoi(argv[3])),
                    std::max(1, std::atoi(argv[4])),
                    std::max(1, std::atoi(argv[5])), std::atoi(argv[6]));
  }
  return usage();
}
