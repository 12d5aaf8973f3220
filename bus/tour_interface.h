/*
 * tour_interface: the daemon's face on the system bus.
 *
 * Owns "com.vorn.PresetTour", publishes "/com/vorn/PresetTour" with the
 * interfaces "com.vorn.PresetTour", "com.vorn.PresetTourConfhub" and
 * "com.vorn.PresetTourController" from introspection_xml, turns each method
 * call into one TourHandler request and answers it at once, and forwards the
 * coordinator's "DriverUninstalled" signal to the handler.
 *
 * State: module-level, one set per process. The handler pointer is borrowed.
 * Threads: every callback runs on the main loop's thread.
 */
#pragma once

#include <gio/gio.h>

typedef struct _TourHandler TourHandler;

extern const gchar introspection_xml[];

/* Called once by the TourHandler initialiser, before its queue exists. */
void tour_interface_init(TourHandler *handler);
/* Called once by the TourHandler finaliser. */
void tour_interface_cleanup(void);

void on_bus_acquired(GDBusConnection *connection, const gchar *name,
                     gpointer user_data);
void on_name_acquired(GDBusConnection *connection, const gchar *name,
                      gpointer user_data);
void on_name_lost(GDBusConnection *connection, const gchar *name,
                  gpointer user_data);
void handle_method_call(GDBusConnection *connection, const gchar *sender,
                        const gchar *object_path, const gchar *interface_name,
                        const gchar *method_name, GVariant *parameters,
                        GDBusMethodInvocation *invocation, gpointer user_data);
void tour_interface_handle_signal_driver_uninstalled(
    GDBusConnection *connection, const gchar *sender_name,
    const gchar *object_path, const gchar *interface_name,
    const gchar *signal_name, GVariant *parameters, gpointer user_data);
