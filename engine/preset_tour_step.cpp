#include <syslog.h>

#include "preset_tour.h"
#include "preset_tour_internal.h"

namespace {

void goto_current_point(PresetTour *self) {
  const PresetPoint *point = preset_tour_current_point(self);
  if (point == nullptr)
    return;
  preset_tour_goto_preset(self, point->preset_nbr, point->move_speed);
}

/* The head counts as ready to be tested once it has been reported still for
 * long enough, or once the goto has had the longest move a head can take. */
bool moving_tick_ready(PresetTour *self) {
  bool ready = false;
  if (self->head_moving == 0) {
    self->still_ticks += 1;
    ready = self->still_ticks > PRESET_TOUR_STILL_THRESHOLD;
  }
  self->goto_ticks += 1;
  if (self->goto_ticks >= PRESET_TOUR_GOTO_TICK_LIMIT)
    ready = true;
  return ready;
}

void start_dwell(PresetTour *self) {
  self->goto_attempts = 0;
  const PresetPoint *point = preset_tour_current_point(self);
  if (point == nullptr)
    return;

  TimeValue now{};
  get_time(&now);
  const bool last_of_round =
      self->current_index + 1 >= int(g_list_length(self->presets));
  self->wait_until = preset_tour_deadline(
      now,
      tour_confhub_dwell_seconds(point->wait_time, self->time_between_sequences,
                                 self->random != 0, last_of_round));
  self->state = PRESET_TOUR_STATE_WAITING;
}

int moving_tick(PresetTour *self) {
  if (self->moving == 1) {
    if (!moving_tick_ready(self))
      return 0;
    /* The first readiness for a point only re-issues the goto: the position
     * read before that goto is the one the next test compares against. */
    const bool arrived =
        self->goto_attempts > 0 && preset_tour_match_position(self) == 1;
    if (!arrived) {
      self->goto_attempts += 1;
      goto_current_point(self);
      return 0;
    }
    self->moving = 0;
  }
  start_dwell(self);
  return 0;
}

int waiting_tick(PresetTour *self, const TimeValue &now) {
  if (time_cmp(&now, &self->wait_until) < 0)
    return 0;

  if (self->random == 1) {
    self->current_index = preset_tour_get_random_preset_position(self);
  } else {
    self->current_index += 1;
    if (self->current_index >= int(g_list_length(self->presets)))
      self->current_index = 0;
  }
  self->goto_attempts = 0;
  goto_current_point(self);
  self->state = PRESET_TOUR_STATE_MOVING;
  return 0;
}

} // namespace

int preset_tour_iterate_tour(PresetTour *self) {
  g_assert(IS_PRESET_TOUR(self));
  if (self->active == 0)
    return 0;

  TimeValue now{};
  get_time(&now);
  /* The keepalive holds our place in the control queue, so it goes out also
   * while the tour is paused or held by another client. */
  if (time_cmp(&now, &self->keepalive_at) > 0) {
    preset_tour_control_queue(self, QUEUE_ACTION_KEEPALIVE);
    preset_tour_push_keepalive(self);
  }

  if (self->frozen == 1)
    return 0;
  if (self->paused == 1)
    return 0;

  switch (static_cast<uint32_t>(self->state)) {
  case PRESET_TOUR_STATE_IDLE:
    return -1;
  case PRESET_TOUR_STATE_PREPARED:
    self->goto_attempts = 0;
    if (self->random == 1)
      self->current_index = preset_tour_get_random_preset_position(self);
    goto_current_point(self);
    self->state = PRESET_TOUR_STATE_MOVING;
    return 0;
  case PRESET_TOUR_STATE_MOVING:
    return moving_tick(self);
  case PRESET_TOUR_STATE_WAITING:
    return waiting_tick(self, now);
  case PRESET_TOUR_STATE_DESTROYED:
    syslog(LOG_ERR, "Current state = PRESET_TOUR_STATE_DESTROYED");
    return -1;
  default:
    syslog(LOG_ERR, "Current state = UNKNOWN");
    return -1;
  }
}

void preset_tour_goto_preset(PresetTour *self, int preset_nbr, int move_speed) {
  g_assert(IS_PRESET_TOUR(self));

  /* Without a proxy the goto is skipped; the readiness rules of the moving
   * tick re-issue it, so the tour neither aborts nor stalls for good. */
  if (self->proxy != nullptr) {
    GVariant *args = g_variant_new("(siii)", self->client_name, 0, preset_nbr,
                                   tour_confhub_wire_speed(move_speed));
    preset_tour_update_position(self);
    g_dbus_proxy_call(self->proxy, "GotoPresetNumber", args,
                      G_DBUS_CALL_FLAGS_NONE, PRESET_TOUR_DBUS_TIMEOUT_MS,
                      self->cancellable, preset_tour_goto_preset_done, self);
  }
  self->goto_ticks = 0;
  self->moving = 1;
}

void preset_tour_goto_preset_done(GObject *source, GAsyncResult *result,
                                  gpointer user_data) {
  /* Finished before anything else: a cancelled call means the engine is
   * gone, and `user_data` must not be touched. */
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply =
      g_dbus_proxy_call_finish(G_DBUS_PROXY(source), result, &error);
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
    return;
  auto *self = static_cast<PresetTour *>(user_data);
  if (self->proxy != nullptr && reply != nullptr)
    preset_tour_push_keepalive(self);
}

int preset_tour_get_random_preset_position(PresetTour *self) {
  const int count = int(g_list_length(self->presets));
  if (count < 1)
    return -1;
  if (count == 1)
    return 0;

  int index = self->current_index;
  while (index == self->current_index) {
    if (get_random(0, count - 1, &index) != 0)
      index = (self->current_index + 1) % count;
  }
  return index;
}

void preset_tour_preset_event_cb(void *user_data, int value) {
  auto *self = static_cast<PresetTour *>(user_data);
  if (value == 1)
    self->moving = 0;
}

void preset_tour_moving_event_cb(void *user_data, int value) {
  auto *self = static_cast<PresetTour *>(user_data);
  self->head_moving = value;
  if (value != 0)
    self->still_ticks = 0;
}
