/*
 * tour_confhub: a tour's Name as people wrote it, spaces and all, for
 * whoever shows it; the daemon's own reads keep only the first word.
 */
#include "tour_confhub.h"

#include <glib.h>

#include "param_store.h"

char *tour_confhub_get_tour_name(int tour_id) {
  g_assert(tour_id >= 0);
  TourParam param{};
  param.type = GUARD_NAME;
  param.tour_id = tour_id;
  char name[TOUR_PARAM_NAME_SIZE];
  if (get_param_name(&param, name) != 0)
    return nullptr;

  cli_Options options;
  int32_t error = 0;
  cli_resetOptions(&options);
  cli_sync(&options, &error);
  g_autofree char *value = cli_getCustomParam(name, &options, &error);
  if (error != 0)
    return nullptr;
  return g_steal_pointer(&value);
}
