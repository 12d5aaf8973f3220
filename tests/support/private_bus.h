/*
 * A private dbus-daemon for unit tests (tests/support/system-bus.conf). While
 * it runs, DBUS_SYSTEM_BUS_ADDRESS points at it, so every system bus
 * connection of the code under test goes there. A GoogleTest global
 * environment, set up before anything in the process touches the system bus
 * (GIO keeps one shared system bus connection per process):
 *
 *   static auto *const bus_env =
 *       ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);
 */
#pragma once

#include <string>

#include <glib.h>
#include <gtest/gtest.h>

class PrivateBusEnvironment : public ::testing::Environment {
public:
  void SetUp() override;
  void TearDown() override;
  const std::string &address() const { return address_; }

private:
  GPid pid_ = -1;
  std::string address_;
};

/* Runs the default main context until `done()` or `timeout_ms`; done(). */
template <typename Pred> bool run_main_loop_until(Pred done, int timeout_ms) {
  const gint64 end = g_get_monotonic_time() + gint64(timeout_ms) * 1000;
  while (!done() && g_get_monotonic_time() < end)
    if (!g_main_context_iteration(nullptr, FALSE))
      g_usleep(1000);
  return done();
}
