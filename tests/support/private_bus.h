/*
 * A private dbus-daemon for unit tests, started with
 * tests/support/system-bus.conf. While it runs, DBUS_SYSTEM_BUS_ADDRESS
 * points at it, so every G_BUS_TYPE_SYSTEM connection the code under test
 * makes goes there. Use it as a GoogleTest global environment:
 *
 *   static auto *const bus_env =
 *       ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);
 *
 * It must be set up before anything in the process touches the system bus,
 * because GIO keeps one shared system bus connection per process.
 */
#pragma once

#include <gtest/gtest.h>
#include <string>

class PrivateBusEnvironment : public ::testing::Environment {
public:
  void SetUp() override;
  void TearDown() override;
  const std::string &address() const { return address_; }

private:
  int pid_ = -1;
  std::string address_;
};

#include <glib.h>

/* Runs the default main context until `done()` is true or `timeout_ms`
 * passes; returns done(). For waiting on bus traffic in tests. */
template <typename Pred> bool run_main_loop_until(Pred done, int timeout_ms) {
  gint64 end = g_get_monotonic_time() + gint64(timeout_ms) * 1000;
  while (!done()) {
    if (g_get_monotonic_time() >= end)
      return done();
    if (!g_main_context_iteration(nullptr, FALSE))
      g_usleep(1000);
  }
  return true;
}
