#include "tour_status.h"

#include <syslog.h>

#include "patrold_names.h"
#include "preset_tour.h"
#include "ptz_common.h"
#include "tour_confhub.h"
#include "tour_status_camera.h"
#include "tour_text.h"

const char TOUR_STATUS_IDLE[] = "idle";
const char TOUR_STATUS_MOVING[] = "moving";
const char TOUR_STATUS_DWELLING[] = "dwelling";
const char TOUR_STATUS_PAUSED[] = "paused";
const char TOUR_STATUS_HELD[] = "held";

namespace {

constexpr const char *MANAGER_PATH = PATROLD_STATUS_PATH;

struct Camera {
  TourStatusValues served;    /* what Get and GetManagedObjects answer */
  TourStatusValues announced; /* as the last PropertiesChanged left it */
  /* The engine's own times behind DwellUntil and LastErrorTime: converted
   * only when they change, so that a steady dwell keeps one value. */
  TimeValue dwell_at{};
  TimeValue error_at{};
  TourStatusCamera *skeleton = nullptr; /* the manager's, through its object */
};

/* One reading of both clocks, so that all values taken together agree. */
struct Clock {
  TimeValue monotonic;
  int64_t real_us;

  uint64_t epoch_us(const TimeValue &at) const {
    const int64_t delta = (int64_t(at.sec) - monotonic.sec) * G_USEC_PER_SEC +
                          at.usec - monotonic.usec;
    return uint64_t(MAX(real_us + delta, int64_t(0)));
  }
};

/* A camera without an engine shows what an engine without a tour shows. */
constexpr PresetTourSnapshot kNoTour = {
    .tour_id = -1, .point_index = -1, .preset = -1};

bool same_time(const TimeValue &a, const TimeValue &b) {
  return a.sec == b.sec && a.usec == b.usec;
}

const char *state_of(const PresetTourSnapshot &tour) {
  if (!tour.active)
    return TOUR_STATUS_IDLE;
  /* The head belongs to someone else: that outranks our own pause. */
  if (tour.held)
    return TOUR_STATUS_HELD;
  if (tour.paused)
    return TOUR_STATUS_PAUSED;
  if (tour.state == PRESET_TOUR_STATE_WAITING)
    return TOUR_STATUS_DWELLING;
  return TOUR_STATUS_MOVING;
}

std::string name_of(int32_t tour_id) {
  if (tour_id < 0)
    return {};
  // A stored name is bytes of any length: the bus takes only bounded UTF-8.
  g_autofree char *name = tour_confhub_get_tour_name(tour_id);
  return name != nullptr ? tour_text_bounded(name) : "";
}

template <typename T> void update(T &field, T value, bool &changed) {
  if (field != value) {
    field = value;
    changed = true;
  }
}

/* Brings one camera's served values up to date; true when any changed.
 * Allocates nothing unless something changed: it runs on every tick. */
bool follow(Camera &camera, TourHandler *handler, int camera_id,
            const Clock &clock, const TourSchedule *schedule) {
  TourStatusValues &v = camera.served;
  const PresetTour *engine = tour_handler_peek_slot(handler, camera_id);
  const PresetTourSnapshot tour =
      engine != nullptr ? preset_tour_snapshot(engine) : kNoTour;
  bool changed = false;

  const int32_t tour_id = tour.active ? tour.tour_id : -1;
  if (tour_id != v.tour_id) {
    v.tour_id = tour_id;
    v.tour_name = name_of(tour_id);
    changed = true;
  }
  const char *state = state_of(tour);
  if (state != v.state) {
    v.state = state;
    v.state_since = uint64_t(clock.real_us);
    changed = true;
  }
  update(v.blocked, tour_handler_is_blocked(handler, camera_id) != FALSE,
         changed);
  update(v.point_index, tour.point_index, changed);
  update(v.preset, tour.preset, changed);

  const TimeValue dwell =
      state == TOUR_STATUS_DWELLING ? tour.dwell_until : TimeValue{};
  if (!same_time(dwell, camera.dwell_at)) {
    camera.dwell_at = dwell;
    update(v.dwell_until,
           state == TOUR_STATUS_DWELLING ? clock.epoch_us(dwell) : uint64_t(0),
           changed);
  }

  if (tour.last_error != nullptr &&
      (!same_time(tour.last_error_at, camera.error_at) ||
       v.last_error != tour.last_error)) {
    camera.error_at = tour.last_error_at;
    v.last_error = tour.last_error;
    v.last_error_time = clock.epoch_us(tour.last_error_at);
    changed = true;
  }
  if (schedule != nullptr) {
    const TourScheduleNext &next = tour_schedule_next(schedule, camera_id);
    update(v.schedule_next, next.at_us, changed);
    if (v.schedule_action != next.action) {
      v.schedule_action = next.action; /* planner's own words, no store text */
      changed = true;
    }
  }
  return changed;
}

} // namespace

struct TourStatus {
  TourHandler *handler = nullptr;   /* borrowed; outlives the status */
  TourSchedule *schedule = nullptr; /* borrowed, or null */
  GDBusObjectManagerServer *manager = nullptr; /* owned */
  std::array<Camera, IMAGE_SOURCES> cameras;
  guint announce_id = 0;
};

namespace {

gboolean announce(gpointer data) {
  auto *self = static_cast<TourStatus *>(data);
  self->announce_id = 0;
  for (Camera &camera : self->cameras) {
    if (camera.served == camera.announced)
      continue;
    tour_status_camera_announce(camera.skeleton, camera.announced);
    camera.announced = camera.served;
  }
  return G_SOURCE_REMOVE;
}

void refresh(gpointer data) {
  auto *self = static_cast<TourStatus *>(data);
  Clock clock{};
  get_time(&clock.monotonic);
  clock.real_us = g_get_real_time();
  bool changed = false;
  for (int id = 1; id <= IMAGE_SOURCES; ++id)
    changed |= follow(self->cameras[size_t(id - 1)], self->handler, id, clock,
                      self->schedule);
  /* One announcement for everything that changes before it runs. */
  if (changed && self->announce_id == 0)
    self->announce_id = g_idle_add(announce, self);
}

void export_objects(TourStatus *self) {
  self->manager = g_dbus_object_manager_server_new(MANAGER_PATH);
  for (int id = 1; id <= IMAGE_SOURCES; ++id) {
    Camera &camera = self->cameras[size_t(id - 1)];
    g_autofree char *path = g_strdup_printf("%s/Camera%d", MANAGER_PATH, id);
    g_autoptr(GDBusObjectSkeleton) object = g_dbus_object_skeleton_new(path);
    g_autoptr(TourStatusCamera) skeleton =
        tour_status_camera_new(&camera.served);
    g_dbus_object_skeleton_add_interface(object,
                                         G_DBUS_INTERFACE_SKELETON(skeleton));
    g_dbus_object_manager_server_export(self->manager, object);
    camera.skeleton = skeleton;
  }

  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) bus =
      g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (bus == nullptr) {
    syslog(LOG_ERR, "Failed to export the tour status: %s", error->message);
    return;
  }
  g_dbus_object_manager_server_set_connection(self->manager, bus);
}

} // namespace

TourStatus *tour_status_new(TourHandler *handler, TourSchedule *schedule) {
  g_return_val_if_fail(IS_TOUR_HANDLER(handler), nullptr);
  auto *self = new TourStatus;
  self->handler = handler;
  self->schedule = schedule;
  for (int id = 1; id <= IMAGE_SOURCES; ++id) {
    TourStatusValues &v = self->cameras[size_t(id - 1)].served;
    v.camera = id;
    v.state.clear(); /* so the first reading stamps StateSince */
  }
  refresh(self);
  g_clear_handle_id(&self->announce_id, g_source_remove);
  for (Camera &camera : self->cameras)
    camera.announced = camera.served;

  export_objects(self);
  tour_handler_set_observer(handler, refresh, self);
  if (schedule != nullptr)
    tour_schedule_set_observer(schedule, refresh, self);
  return self;
}

void tour_status_free(TourStatus *self) {
  if (self == nullptr)
    return;
  tour_handler_set_observer(self->handler, nullptr, nullptr);
  if (self->schedule != nullptr)
    tour_schedule_set_observer(self->schedule, nullptr, nullptr);
  g_clear_handle_id(&self->announce_id, g_source_remove);
  if (self->manager != nullptr)
    g_dbus_object_manager_server_set_connection(self->manager, nullptr);
  g_clear_object(&self->manager);
  delete self;
}

const TourStatusValues &tour_status_values(const TourStatus *self,
                                           int camera_id) {
  g_assert(camera_id >= 1 && camera_id <= IMAGE_SOURCES);
  return self->cameras[size_t(camera_id - 1)].served;
}
