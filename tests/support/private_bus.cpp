#include "private_bus.h"

#include <cstdlib>
#include <signal.h>
#include <sys/wait.h>

#ifndef TEST_BUS_CONFIG
#error "TEST_BUS_CONFIG must name tests/support/system-bus.conf"
#endif

void PrivateBusEnvironment::SetUp() {
  const char *argv[] = {"dbus-daemon", "--config-file=" TEST_BUS_CONFIG, "--nofork",
                        "--print-address=1", nullptr};
  int out = -1;
  g_autoptr(GError) error = nullptr;
  ASSERT_TRUE(g_spawn_async_with_pipes(nullptr, const_cast<char **>(argv), nullptr,
                                       G_SPAWN_SEARCH_PATH, nullptr, nullptr, &pid_, nullptr, &out,
                                       nullptr, &error))
      << error->message;
  for (char c; read(out, &c, 1) == 1 && c != '\n';)
    address_ += c;
  close(out);
  ASSERT_FALSE(address_.empty()) << "dbus-daemon printed no address";
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

void PrivateBusEnvironment::TearDown() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}
