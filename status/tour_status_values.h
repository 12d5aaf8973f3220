/*
 * The table that turns each of a camera's values (tour_status_record.h)
 * into its bus property.
 */
#pragma once

#include <array>

#include <glib.h>

#include "tour_status_record.h"

struct TourStatusField {
  const char *name;
  /* A new floating variant of the property's value. */
  GVariant *(*value)(const TourStatusValues &values);
};

/* In the order of the introspection document. */
extern const std::array<TourStatusField, 13> TOUR_STATUS_FIELDS;
