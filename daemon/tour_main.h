/*
 * tour_main: the patrold process. main() detaches (unless "-n" is the one
 * argument), opens syslog, switches to the "patrold" account, installs the
 * SIGTERM source, creates the TourHandler, runs the main loop and tears down
 * in order. State is module-level: the main loop and the handler.
 */
#pragma once

#include <glib.h>

void init_signals(void);
gboolean handle_sigterm(gpointer user_data);
