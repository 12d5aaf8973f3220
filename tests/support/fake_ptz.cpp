#include "fake_ptz.h"

#include <array>
#include <glib.h>

namespace {

struct Registration {
  void *callback = nullptr;
  void *user_data = nullptr;
};

struct State {
  TimeValue clock{1000, 0};
  std::deque<int> random_script;
  std::deque<fake_ptz::Call> calls;
  std::array<Registration, 9> preset{};
  std::array<Registration, 9> moving{};
  Registration control{};
  GRand *rand = nullptr;
};

State &state() {
  static State s;
  return s;
}

void note(const char *name, int camera_id = -1000) {
  state().calls.push_back({name, camera_id});
}

bool valid_camera(int camera_id) { return camera_id >= 1 && camera_id <= 8; }

void normalise(TimeValue *t) {
  while (t->usec >= 1000000) {
    t->usec -= 1000000;
    t->sec += 1;
  }
  while (t->usec < 0) {
    t->usec += 1000000;
    t->sec -= 1;
  }
}

} // namespace

namespace fake_ptz {

void reset() {
  State &s = state();
  s.clock = {1000, 0};
  s.random_script.clear();
  s.calls.clear();
  s.preset.fill({});
  s.moving.fill({});
  s.control = {};
  if (s.rand)
    g_rand_free(s.rand);
  s.rand = g_rand_new_with_seed(12345);
}

void advance(int32_t sec, int32_t usec) {
  state().clock.sec += sec;
  state().clock.usec += usec;
  normalise(&state().clock);
}

TimeValue now() { return state().clock; }

void script_random(std::deque<int> values) { state().random_script = std::move(values); }

const std::deque<Call> &calls() { return state().calls; }

bool preset_registered(int camera_id) {
  return valid_camera(camera_id) && state().preset[camera_id].callback;
}

bool fire_preset(int camera_id, int event) {
  if (!preset_registered(camera_id))
    return false;
  auto &r = state().preset[camera_id];
  reinterpret_cast<preset_event_cb>(r.callback)(r.user_data, event);
  return true;
}

bool fire_moving(int camera_id, int value) {
  if (!valid_camera(camera_id) || !state().moving[camera_id].callback)
    return false;
  auto &r = state().moving[camera_id];
  reinterpret_cast<tour_moving_event_cb>(r.callback)(r.user_data, value);
  return true;
}

bool fire_control(int camera_id, const char *client_name) {
  if (!state().control.callback)
    return false;
  auto &r = state().control;
  reinterpret_cast<control_queue_event_cb>(r.callback)(r.user_data, camera_id,
                                                       client_name);
  return true;
}

} // namespace fake_ptz

extern "C" {

int get_time(TimeValue *now) {
  if (!now)
    return -1;
  *now = state().clock;
  return 0;
}

int time_cmp(const TimeValue *a, const TimeValue *b) {
  if (a->sec != b->sec)
    return a->sec < b->sec ? -1 : 1;
  if (a->usec != b->usec)
    return a->usec < b->usec ? -1 : 1;
  return 0;
}

void time_sub(TimeValue *a, const TimeValue *b) {
  a->sec -= b->sec;
  a->usec -= b->usec;
  normalise(a);
}

void time_add(TimeValue *a, const TimeValue *b) {
  a->sec += b->sec;
  a->usec += b->usec;
  normalise(a);
}

void initialize_random(void) { note("initialize_random"); }

int get_random(int low, int high, int *value) {
  if (!value || low > high)
    return -1;
  State &s = state();
  if (!s.rand)
    s.rand = g_rand_new_with_seed(12345);
  int v;
  if (!s.random_script.empty()) {
    v = s.random_script.front();
    s.random_script.pop_front();
  } else {
    v = g_rand_int_range(s.rand, low, high + 1);
  }
  *value = CLAMP(v, low, high);
  return 0;
}

int initialize_subscriber_queue(void) {
  note("initialize_subscriber_queue");
  return 0;
}

int control_queue_events_init(control_queue_event_cb callback, void *user_data) {
  note("control_queue_events_init");
  state().control = {reinterpret_cast<void *>(callback), user_data};
  return 0;
}

void control_queue_events_cleanup(void) {
  note("control_queue_events_cleanup");
  state().control = {};
}

int preset_events_init(preset_event_cb callback, void *user_data, int camera_id) {
  note("preset_events_init", camera_id);
  if (!valid_camera(camera_id))
    return -1;
  state().preset[camera_id] = {reinterpret_cast<void *>(callback), user_data};
  return 0;
}

void preset_events_cleanup(int camera_id) {
  note("preset_events_cleanup", camera_id);
  if (valid_camera(camera_id))
    state().preset[camera_id] = {};
}

int tour_moving_events_init(void) {
  note("tour_moving_events_init");
  return 0;
}

int tour_moving_events_enable(tour_moving_event_cb callback, void *user_data,
                              int camera_id) {
  note("tour_moving_events_enable", camera_id);
  if (!valid_camera(camera_id))
    return -1;
  state().moving[camera_id] = {reinterpret_cast<void *>(callback), user_data};
  return 0;
}

void tour_moving_events_disable(int camera_id) {
  note("tour_moving_events_disable", camera_id);
  if (valid_camera(camera_id))
    state().moving[camera_id] = {};
}

} // extern "C"
