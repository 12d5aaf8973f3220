/*
 * Helpers shared by the two halves of tour_confhub (parameter access and
 * group listing). Not part of the module's surface.
 */
#pragma once

#include <stddef.h>

#include <glib.h>

/* Formats a store name into `buffer` (`size` bytes). 0, or -1 when the name
 * does not fit: a cut name would address another parameter or group. */
int tour_confhub_format_name(char *buffer, size_t size, const char *format, ...)
    G_GNUC_PRINTF(3, 4);
