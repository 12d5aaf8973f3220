#include <cstring>

#include "tour_handler.h"
#include "tour_handler_internal.h"

/* Who holds the camera's head decides what its tour does: our own client
 * lets it go on, a recorded tour takes over for good, an empty name means
 * nobody in particular, and anyone else makes the tour wait. Acts on the
 * engine at once and never creates one; the tick is left to the next
 * processing run. */
int tour_handler_control_queue_cb(void *user_data, int camera_id,
                                  const char *client_name) {
  TourHandler *self = TOUR_HANDLER(user_data);
  PresetTour *tour = tour_handler_peek_slot(self, camera_id);
  if (tour == nullptr)
    return 0;

  if (g_strcmp0(client_name, PATROLD_CLIENT_NAME) == 0)
    preset_tour_unfreeze_tour(tour);
  else if (g_strcmp0(client_name, RECORDED_TOUR_CLIENT_NAME) == 0)
    preset_tour_stop_tour(tour);
  else if (client_name != nullptr && client_name[0] == '\0')
    return 0;
  else
    preset_tour_freeze_tour(tour);
  tour_handler_tell_observer(self);
  return 0;
}
