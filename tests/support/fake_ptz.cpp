#include "fake_ptz.h"

#include <array>
#include <glib.h>

namespace {

struct Registration {
  void (*callback)() = nullptr;
  void *user_data = nullptr;
};
using Cameras = std::array<Registration, 9>; /* by camera id; 0 unused */

struct State {
  TimeValue clock{1000, 0};
  std::deque<int> random_script;
  Cameras preset{}, moving{};
  Registration control{};
  GRand *rand = g_rand_new_with_seed(12345);
} state;

/* The camera's registration, or null for an id out of range. */
Registration *slot(Cameras &table, int camera_id) {
  return camera_id >= 1 && camera_id <= 8 ? &table[size_t(camera_id)] : nullptr;
}

template <typename Callback> int enable(Cameras &table, Callback cb, void *data, int camera_id) {
  Registration *r = slot(table, camera_id);
  return r ? (*r = {reinterpret_cast<void (*)()>(cb), data}, 0) : -1;
}

void disable(Cameras &table, int camera_id) {
  if (Registration *r = slot(table, camera_id))
    *r = {};
}

template <typename Callback, typename... Args> bool fire(const Registration *r, Args... args) {
  if (r == nullptr || r->callback == nullptr)
    return false;
  reinterpret_cast<Callback>(r->callback)(r->user_data, args...);
  return true;
}

} // namespace

namespace fake_ptz {

void reset() {
  state = {{1000, 0}, {}, {}, {}, {}, state.rand};
  g_rand_set_seed(state.rand, 12345);
}
void advance(int32_t sec, int32_t usec) {
  const TimeValue step{sec, usec};
  time_add(&state.clock, &step);
}
void set_clock(TimeValue now) { state.clock = now; }
TimeValue now() { return state.clock; }
void script_random(std::deque<int> values) { state.random_script = std::move(values); }
bool fire_preset(int camera_id, int event) {
  return fire<preset_event_cb>(slot(state.preset, camera_id), event);
}
bool fire_moving(int camera_id, int value) {
  return fire<tour_moving_event_cb>(slot(state.moving, camera_id), value);
}
bool fire_control(int camera_id, const char *client_name) {
  return fire<control_queue_event_cb>(&state.control, camera_id, client_name);
}

} // namespace fake_ptz

extern "C" {

int get_time(TimeValue *now) {
  *now = state.clock;
  return 0;
}

void initialize_random(void) {}
int get_random(int low, int high, int *value) {
  if (low > high)
    return -1;
  int v = g_rand_int_range(state.rand, low, high + 1);
  if (!state.random_script.empty()) {
    v = state.random_script.front();
    state.random_script.pop_front();
  }
  *value = CLAMP(v, low, high);
  return 0;
}

int initialize_subscriber_queue(void) { return 0; }
int tour_moving_events_init(void) { return 0; }
int control_queue_events_init(control_queue_event_cb callback, void *user_data) {
  state.control = {reinterpret_cast<void (*)()>(callback), user_data};
  return 0;
}
void control_queue_events_cleanup(void) { state.control = {}; }
int preset_events_init(preset_event_cb callback, void *user_data, int camera_id) {
  return enable(state.preset, callback, user_data, camera_id);
}
void preset_events_cleanup(int camera_id) { disable(state.preset, camera_id); }
int tour_moving_events_enable(tour_moving_event_cb callback, void *user_data, int camera_id) {
  return enable(state.moving, callback, user_data, camera_id);
}
void tour_moving_events_disable(int camera_id) { disable(state.moving, camera_id); }

} // extern "C"
