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

void tour_confhub_get_tour_schedules(const int32_t *ids, int count,
                                     size_t max_bytes, char **texts) {
  /* One options record for the whole pass: a store of thousands of tours
   * pays one call per tour for a leaf that most of them lack. */
  cli_Options options;
  int32_t error = 0;
  cli_resetOptions(&options);
  cli_sync(&options, &error);
  for (int i = 0; i < count; ++i) {
    texts[i] = nullptr;
    TourParam param{};
    param.type = GUARD_SCHEDULE;
    param.tour_id = ids[i];
    char name[TOUR_PARAM_NAME_SIZE];
    if (ids[i] < 0 || get_param_name(&param, name) != 0)
      continue;
    error = 0;
    char *text = cli_getCustomParam(name, &options, &error);
    if (error != 0 || text == nullptr) {
      g_free(text);
      continue;
    }
    /* Cut, so that a huge stored value is not kept beyond this call. */
    if (strlen(text) > max_bytes + 1)
      text[max_bytes + 1] = '\0';
    texts[i] = text;
  }
}
