/*
 * tour_interface: the daemon's face on the system bus.
 *
 * Owns "com.vorn.PresetTour", publishes "/com/vorn/PresetTour" with the
 * interfaces "com.vorn.PresetTour", "com.vorn.PresetTourConfhub" and
 * "com.vorn.PresetTourController" as data/com.vorn.PresetTour.xml describes
 * them, turns each method call into one TourHandler request and answers it
 * at once, and forwards the coordinator's "DriverUninstalled" signal to the
 * handler.
 * Bounds and gives back the memory bus clients can make it hold
 * (bus_memory.h).
 *
 * State: module-level, one set per process. The handler pointer is borrowed.
 * Threads: every callback runs on the main loop's thread.
 */
#pragma once

#include <gio/gio.h>

typedef struct _TourHandler TourHandler;

/* Called once by the TourHandler initialiser, before its queue exists. */
void tour_interface_init(TourHandler *handler);
/* Called once by the TourHandler finaliser. */
void tour_interface_cleanup(void);
