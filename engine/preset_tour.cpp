#include "preset_tour.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <syslog.h>

#include "preset_tour_internal.h"
#include "tour_events.h"
#include "tour_text.h"

G_DEFINE_TYPE(PresetTour, preset_tour, G_TYPE_OBJECT)

namespace {

constexpr int kBusAttempts = 6;
/* Microseconds: the bus is usually there; a short breath is enough. */
constexpr gulong kBusRetryPauseUs = 100;

/* Clears what a failed load left behind and reports it. */
int fail_preparation(PresetTour *self, const char *message) {
  preset_tour_reset_tour(self);
  preset_tour_log_failure(self, LOG_ERR, "%s", message);
  return -1;
}

} // namespace

static void preset_tour_finalize(GObject *object) {
  PresetTour *self = PRESET_TOUR(object);

  /* No stop here: a tour still playing at shutdown keeps Running "yes" so the
   * next start resumes it. */
  g_clear_object(&self->connection);
  preset_tour_reset_tour(self);
  g_clear_pointer(&self->client_name, g_free);
  g_clear_object(&self->proxy);
  g_clear_pointer(&self->last_error, g_free);
  g_cancellable_cancel(self->cancellable);
  g_clear_object(&self->cancellable);

  G_OBJECT_CLASS(preset_tour_parent_class)->finalize(object);
}

static void preset_tour_class_init(PresetTourClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = preset_tour_finalize;
}

static void preset_tour_init(PresetTour *self) {
  preset_tour_reset_tour(self);
  self->state = PRESET_TOUR_STATE_IDLE;
  self->paused = 0;
  self->keepalive_at = TimeValue{0, 0};
  self->client_name = g_strdup(PATROLD_CLIENT_NAME);
  self->cancellable = g_cancellable_new();

  g_autoptr(GError) error = nullptr;
  self->connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  for (int attempt = 1; error != nullptr && attempt < kBusAttempts; ++attempt) {
    g_clear_error(&error);
    g_usleep(kBusRetryPauseUs);
    self->connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  }
  if (error != nullptr) {
    syslog(LOG_ERR, "Failed to connect to system dbus");
    return;
  }

  initialize_random();
  initialize_subscriber_queue();
  tour_moving_events_init();
}

void preset_tour_reset_tour(PresetTour *self) {
  g_assert(IS_PRESET_TOUR(self));

  self->state = PRESET_TOUR_STATE_IDLE;
  self->paused = 0;
  self->moving = 0;
  self->active = 0;
  self->random = 0;
  self->goto_ticks = 0;
  self->head_moving = 0;
  self->still_ticks = 0;

  self->camera_id = -1;
  self->tour_id = -1;
  self->time_between_sequences = -1;
  self->current_index = -1;
  for (int32_t &member : self->target_position)
    member = -1;

  g_list_free_full(g_steal_pointer(&self->presets), g_free);
}

int preset_tour_prepare_tour(PresetTour *self, int camera_id, int tour_id) {
  g_assert(camera_id > 0);
  g_assert(tour_id >= 0);
  g_assert(IS_PRESET_TOUR(self));

  self->camera_id = camera_id;
  self->tour_id = tour_id;
  self->active = 0;
  self->moving = 0;
  self->goto_attempts = 0;

  /* The plan is read, ordered and timed by the parameter module, which
   * tourctl uses too: what it shows is what plays. */
  TourPlan plan;
  TourPlanFailure failure = TourPlanFailure::NONE;
  if (tour_confhub_read_plan(tour_id, &plan, &failure, nullptr) != 0) {
    static constexpr const char *kFailures[] = {
        "", "Error fetching GUARD_TIME_BETWEEN_SEQUENCES",
        "Error fetching GUARD_RANDOM_ENABLED",
        "Error fetching tour relay points", "Error fetching tour relay point"};
    return fail_preparation(self, kFailures[size_t(failure)]);
  }
  self->time_between_sequences = plan.pause_minutes;
  self->random = plan.random ? 1 : 0;
  for (auto it = plan.points.rbegin(); it != plan.points.rend(); ++it)
    self->presets =
        g_list_prepend(self->presets, g_memdup2(&it->point, sizeof it->point));

  self->current_index = 0;
  self->state = PRESET_TOUR_STATE_PREPARED;
  return 0;
}

int preset_tour_compare_preset_positions(const PresetPoint *preset_a,
                                         const PresetPoint *preset_b) {
  g_assert(preset_a != NULL);
  g_assert(preset_b != NULL);
  if (preset_a->position < preset_b->position)
    return -1;
  if (preset_a->position > preset_b->position)
    return 1;
  return 0;
}

TimeValue preset_tour_deadline(TimeValue from, int64_t seconds) {
  const int64_t sec =
      std::clamp<int64_t>(int64_t{from.sec} + seconds, INT32_MIN, INT32_MAX);
  from.sec = static_cast<int32_t>(sec);
  return from;
}

void preset_tour_push_keepalive(PresetTour *self) {
  TimeValue now{};
  get_time(&now);
  self->keepalive_at =
      preset_tour_deadline(now, PRESET_TOUR_KEEPALIVE_INTERVAL_S);
}

const PresetPoint *preset_tour_current_point(PresetTour *self) {
  if (self->current_index < 0)
    return nullptr;
  return static_cast<const PresetPoint *>(
      g_list_nth_data(self->presets, guint(self->current_index)));
}

void preset_tour_log_failure(PresetTour *self, int priority, const char *format,
                             ...) {
  va_list args;
  va_start(args, format);
  g_autofree char *raw = g_strdup_vprintf(format, args);
  va_end(args);
  /* A coordinator's error text is another party's: any bytes, any length,
   * and it goes on to the log and to the bus. */
  const std::string message = tour_text_bounded(raw, TOUR_TEXT_VALUE_MAX);
  syslog(priority, "%s", message.c_str());
  g_free(self->last_error);
  self->last_error = g_strdup(message.c_str());
  get_time(&self->last_error_at);
}

const PresetPoint *preset_tour_peek_point(const PresetTour *self, int index) {
  g_assert(IS_PRESET_TOUR(const_cast<PresetTour *>(self)));
  if (index < 0)
    return nullptr;
  return static_cast<const PresetPoint *>(
      g_list_nth_data(self->presets, guint(index)));
}

PresetTourSnapshot preset_tour_snapshot(const PresetTour *self) {
  g_assert(IS_PRESET_TOUR(const_cast<PresetTour *>(self)));
  PresetTourSnapshot snap{};
  snap.tour_id = self->tour_id;
  snap.active = self->active != 0;
  snap.state = self->state;
  snap.paused = self->paused != 0;
  snap.held = self->frozen != 0;
  snap.point_index = -1;
  snap.preset = -1;
  /* Prepared, the index names the first point, but no goto has picked it:
   * a random tour may yet start elsewhere. */
  if (snap.active && self->state != PRESET_TOUR_STATE_PREPARED) {
    if (const PresetPoint *point =
            preset_tour_peek_point(self, self->current_index)) {
      snap.point_index = self->current_index;
      snap.preset = point->preset_nbr;
    }
  }
  snap.point_count = int32_t(g_list_length(self->presets));
  snap.dwell_until = self->wait_until;
  snap.last_error = self->last_error;
  snap.last_error_at = self->last_error_at;
  return snap;
}
