/*
 * tour_confhub: a tour's whole texts (Name as people wrote it, spaces and
 * all; Schedule), for whoever shows or reads them; the daemon's own reads
 * keep only the first word.
 */
#include "tour_confhub.h"

#include <cstring>

#include <glib.h>

#include "param_store.h"

namespace {

char *get_whole_text(int tour_id, TourParamKind kind) {
  g_assert(tour_id >= 0);
  TourParam param{};
  param.type = kind;
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

} // namespace

char *tour_confhub_get_tour_name(int tour_id) {
  return get_whole_text(tour_id, GUARD_NAME);
}

char *tour_confhub_get_tour_schedule(int tour_id, size_t max_bytes) {
  char *text = get_whole_text(tour_id, GUARD_SCHEDULE);
  /* Cut, so that a huge stored value is not kept beyond this call. */
  if (text != nullptr && strlen(text) > max_bytes + 1) {
    text[max_bytes + 1] = '\0';
    char *cut = g_strdup(text);
    g_free(text);
    return cut;
  }
  return text;
}
