#include <cstdint>
#include <syslog.h>

#include "preset_tour.h"
#include "preset_tour_internal.h"
#include "tour_events.h"

namespace {

/* The dwell loses no time to a hold: push the deadline on by the time spent
 * since the hold began. A deadline already at the clock's end stays there
 * rather than wrapping into the past. */
void extend_wait_by_hold(PresetTour *self) {
  TimeValue held{};
  get_time(&held);
  time_sub(&held, &self->hold_start);
  const TimeValue before = self->wait_until;
  time_add(&self->wait_until, &held);
  if (held.sec >= 0 && time_cmp(&self->wait_until, &before) < 0)
    self->wait_until = TimeValue{INT32_MAX, before.usec};
}

void subscribe_events(PresetTour *self) {
  preset_events_init(preset_tour_preset_event_cb, self, self->camera_id);
  tour_moving_events_enable(preset_tour_moving_event_cb, self, self->camera_id);
}

void unsubscribe_events(int camera_id) {
  preset_events_cleanup(camera_id);
  tour_moving_events_disable(camera_id);
}

} // namespace

int preset_tour_play_tour(PresetTour *self, int camera_id, int tour_id) {
  g_assert(camera_id > 0);
  g_assert(tour_id >= 0);
  g_assert(IS_PRESET_TOUR(self));

  if (self->active == 1) {
    /* Resume or repeated play: the loaded tour stays, whatever was asked. */
    if (self->paused == 1) {
      if (self->frozen == 0)
        extend_wait_by_hold(self);
      self->paused = 0;
    }
    subscribe_events(self);
    return 0;
  }

  if (preset_tour_prepare_tour(self, camera_id, tour_id) == -1)
    return -1;

  self->paused = 0;
  self->active = 1;

  preset_tour_register_to_dbus(self);
  if (preset_tour_control_queue(self, QUEUE_ACTION_ENTER) == 1)
    preset_tour_push_keepalive(self);

  if (preset_tour_update_running_state(self->tour_id, 1) == -1)
    syslog(LOG_ERR, "Failed to update confhub running state to 'yes'");

  subscribe_events(self);
  return 0;
}

int preset_tour_stop_tour(PresetTour *self) {
  g_assert(IS_PRESET_TOUR(self));
  const int camera_id = self->camera_id;

  if (self->active == 1) {
    self->active = 0;
    if (preset_tour_update_running_state(self->tour_id, 0) == -1)
      syslog(LOG_ERR, "Failed to update confhub running state to 'no'");
    preset_tour_stop_ptz(self);
    preset_tour_reset_tour(self);
    preset_tour_deregister_from_dbus(self);
  }

  unsubscribe_events(camera_id);
  return 0;
}

int preset_tour_pause_tour(PresetTour *self) {
  g_assert(IS_PRESET_TOUR(self));
  if (self->active == 0)
    return -1;
  if (self->paused == 1)
    return 0;

  /* A frozen tour has already given the head away and started its hold. */
  if (self->frozen == 0) {
    preset_tour_control_queue(self, QUEUE_ACTION_LEAVE);
    get_time(&self->hold_start);
  }
  self->paused = 1;
  return 0;
}

int preset_tour_freeze_tour(PresetTour *self) {
  g_assert(IS_PRESET_TOUR(self));
  if (self->frozen == 1)
    return -1;
  if (self->paused == 0)
    get_time(&self->hold_start);
  self->frozen = 1;
  return 0;
}

int preset_tour_unfreeze_tour(PresetTour *self) {
  g_assert(IS_PRESET_TOUR(self));
  if (self->frozen == 0)
    return -1;
  if (self->paused == 0)
    extend_wait_by_hold(self);
  self->frozen = 0;

  /* The other client may have moved the head away mid-goto: send it again,
   * even while paused, so the head heads back to our point. */
  if (self->moving == 1) {
    const PresetPoint *point = preset_tour_current_point(self);
    if (point != nullptr)
      preset_tour_goto_preset(self, point->preset_nbr, point->move_speed);
  }
  return 0;
}
