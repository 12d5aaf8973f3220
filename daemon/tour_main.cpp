/*
 * tour_main: the patrold process.
 *
 * Everything that matters happens inside the TourHandler's initialiser and
 * finaliser; this module only decides foreground or background, opens the
 * log, drops to the service account, and brackets the main loop.
 */
#include <algorithm>
#include <array>
#include <vector>

#include <errno.h>
#include <gio/gio.h>
#include <glib-object.h>
#include <glib-unix.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include "tour_handler.h"
#include "tour_schedule.h"
#include "tour_status.h"

namespace {

constexpr const char *kServiceUser = "patrold";
constexpr const char *kServiceGroup = "patrold";
constexpr const char *kForegroundOption = "-n";

/* Read by handle_sigterm, so module-level rather than local to main. */
GMainLoop *main_loop = nullptr;
TourHandler *handler = nullptr;
/* What main returns once the loop has ended. */
int exit_status = EXIT_SUCCESS;

/* openlog() keeps the pointer, not a copy, and syslog may be used until the
 * very end of the process: this string is deliberately never freed. */
char *log_identity = nullptr;

/* Groups as good as root: raw disks and kernel memory. */
constexpr std::array<const char *, 2> kPrivilegedGroups = {"disk", "kmem"};

/* The groups initgroups gave: membership of root's group or of one as good
 * as root would hand back what dropping root takes away. 0, or -1 after a
 * line on stderr. */
int refuse_privileged_groups(const char *login) {
  const int count = getgroups(0, nullptr);
  std::vector<gid_t> groups(count > 0 ? count : 0);
  if (count < 0 || getgroups(count, groups.data()) != count) {
    fprintf(stderr, "Unable to read the groups of user \"%s\": %m\n", login);
    return -1;
  }
  for (const gid_t gid : groups) {
    const struct group *gr = getgrgid(gid);
    const char *name = gr != nullptr ? gr->gr_name : "";
    if (gid == 0 ||
        std::any_of(kPrivilegedGroups.begin(), kPrivilegedGroups.end(),
                    [name](const char *p) { return strcmp(p, name) == 0; })) {
      fprintf(stderr, "Refusing privileged group %d (%s) of user \"%s\".\n",
              static_cast<int>(gid), name, login);
      return -1;
    }
  }
  return 0;
}

bool stays_in_foreground(int argc, char **argv) {
  return argc == 2 && strcmp(argv[1], kForegroundOption) == 0;
}

/* Returns 0, or -1 after writing the failing step's line to stderr. The
 * message is printed before anything else can touch errno, so %m is the
 * refusal of the call itself. */
int switch_to_service_account() {
  const struct passwd *pw = getpwnam(kServiceUser);
  if (pw == nullptr) {
    fprintf(stderr, "Couldn't get uid for user \"%s\".\n", kServiceUser);
    return -1;
  }
  /* getgrnam may reuse the lookup buffers, so keep what we need now. */
  const uid_t uid = pw->pw_uid;
  g_autofree char *login = g_strdup(pw->pw_name);
  /* A misconfigured account must not leave the daemon running as root. */
  if (uid == 0) {
    fprintf(stderr, "Refusing uid 0 of user \"%s\".\n", kServiceUser);
    return -1;
  }

  const struct group *gr = getgrnam(kServiceGroup);
  if (gr == nullptr) {
    fprintf(stderr, "Couldn't get gid for group \"%s\".\n", kServiceGroup);
    return -1;
  }
  const gid_t gid = gr->gr_gid;
  if (gid == 0) {
    fprintf(stderr, "Refusing gid 0 of group \"%s\".\n", kServiceGroup);
    return -1;
  }

  if (setgid(gid) != 0) {
    fprintf(stderr, "Failed setting gid to %d: %m\n", static_cast<int>(gid));
    return -1;
  }
  if (initgroups(login, gid) != 0) {
    fprintf(stderr,
            "Unable to run initgroups() with username: %s, gid: %d: %m\n",
            login, static_cast<int>(gid));
    return -1;
  }
  if (refuse_privileged_groups(login) != 0)
    return -1;
  if (setuid(uid) != 0) {
    fprintf(stderr, "Failed setting uid to %d: %m\n", static_cast<int>(uid));
    return -1;
  }
  /* A saved root uid (or a kernel that ignored the switch) would let any
   * later fault take root back; the switch counts only once that fails. */
  if (setuid(0) == 0) {
    fprintf(stderr, "Root can be regained after setting uid to %d.\n",
            static_cast<int>(uid));
    return -1;
  }
  return 0;
}

/* Without the bus patrold can neither be asked nor drive a head: it ends,
 * as a failure, so that the service manager starts it again. */
void on_bus_closed(GDBusConnection *, gboolean, GError *, gpointer) {
  syslog(LOG_ERR, "Lost the connection to the system bus");
  exit_status = EXIT_FAILURE;
  if (main_loop != nullptr)
    g_main_loop_quit(main_loop);
}

/* GDBus would otherwise answer a closed connection with SIGTERM to the
 * process, which ends it as if asked to, with status 0. */
void watch_bus() {
  g_autoptr(GDBusConnection) bus =
      g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  if (bus == nullptr)
    return;
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  g_signal_connect(bus, "closed", G_CALLBACK(on_bus_closed), nullptr);
  if (g_dbus_connection_is_closed(bus))
    on_bus_closed(bus, TRUE, nullptr, nullptr);
}

gboolean handle_sigterm(gpointer user_data) {
  (void)user_data;
  if (main_loop != nullptr)
    g_main_loop_quit(main_loop);
  /* Removing the source means a second SIGTERM never reaches us. */
  return G_SOURCE_REMOVE;
}

void init_signals(void) {
  const guint sigterm_id = g_unix_signal_add(SIGTERM, handle_sigterm, nullptr);
  g_assert(0 != sigterm_id);
}

} // namespace

int main(int argc, char **argv) {
  /* Before openlog on purpose: this line carries the default identity. */
  syslog(LOG_INFO, "Starting up...");

  if (!stays_in_foreground(argc, argv) && daemon(0, 1) != 0) {
    syslog(LOG_ERR, "Failed to initiate daemon");
    return EXIT_FAILURE;
  }

  log_identity = g_path_get_basename(argv[0]);
  openlog(log_identity, LOG_PID, LOG_DAEMON);

  if (switch_to_service_account() != 0) {
    syslog(LOG_ERR, "Failed to switch user");
    return EXIT_FAILURE;
  }

  init_signals();
  main_loop = g_main_loop_new(nullptr, FALSE);

  handler =
      static_cast<TourHandler *>(g_object_new(TOUR_HANDLER_TYPE, nullptr));
  if (handler == nullptr) {
    syslog(LOG_ERR, "Cannot create TourHandler object!");
    return EXIT_FAILURE;
  }
  /* After the recovery, which the handler ran: a timetable has the last
   * word on what plays now. */
  TourSchedule *schedule =
      tour_schedule_new(handler, nullptr, PATROLD_BUILD_YEAR);
  /* Follows the handler, so it goes before the handler does. */
  TourStatus *status = tour_status_new(handler, schedule);
  tour_handler_update_timer(handler);
  watch_bus();

  g_main_loop_run(main_loop);

  g_clear_pointer(&main_loop, g_main_loop_unref);
  g_clear_pointer(&status, tour_status_free);
  g_clear_pointer(&schedule, tour_schedule_free);
  g_clear_object(&handler);
  syslog(LOG_INFO, "Exiting...");
  return exit_status;
}
