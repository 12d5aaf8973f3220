/*
 * ptz-sim internals: one process-wide simulator state shared by the motion
 * model (sim_head.cpp), the control queues (sim_queue.cpp), the coordinator
 * interface (sim_coordinator.cpp) and the simulator's own control interface
 * (sim_control.cpp). Everything runs on the main loop's thread.
 */
#pragma once

#include <gio/gio.h>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "patrold_names.h"

namespace sim {

constexpr int kMaxCameras = IMAGE_SOURCES;
constexpr int kHistoryLimit = 256;

constexpr const char *kBusName = COORDINATOR_BUS_NAME;
constexpr const char *kCoordinatorIface = COORDINATOR_INTERFACE;
constexpr const char *kDriverSignalPath = COORDINATOR_SIGNAL_PATH;
constexpr const char *kEventsIface = PTZ_EVENTS_INTERFACE;
constexpr const char *kEventsPath = PTZ_EVENTS_PATH;
constexpr const char *kControlIface = "com.vorn.PTZ.Simulator";
constexpr const char *kControlPath = "/com/vorn/PTZ/Simulator";

/* The coordinator methods, as indexes of the per-method tables. */
enum class Method : uint8_t {
  Queue,
  QueryPosition,
  GotoPresetNumber,
  Move,
  Count
};
constexpr std::size_t kMethodCount = static_cast<std::size_t>(Method::Count);
constexpr std::array<const char *, kMethodCount> kMethodNames = {
    "Queue", "QueryPosition", "GotoPresetNumber", "Move"};
/* -1 when the name is not one of the coordinator methods. */
int method_index(const char *name);

struct Position {
  int pan = 0;
  int tilt = 0;
  int zoom = 0;
  bool operator==(const Position &) const = default;
};

/* A head moves along a straight line from `from` to `to`, starting at
 * `started_us` (monotonic) and arriving `duration_us` later. */
struct Head {
  Position pos;
  Position from;
  Position to;
  bool moving = false;
  int64_t started_us = 0;
  int64_t duration_us = 0;
  int speed = 0;           /* speed of the current move, 1..100 */
  int target_preset = -1;  /* preset of the current move, -1 for none */
  int last_preset = -1;    /* last preset reached */
  std::deque<int> history; /* presets reached, oldest first */
};

struct QueueEntry {
  std::string client;
  int64_t last_seen_us = 0;
  bool taken = false; /* put there by TakeControl: never expires */
};

struct Failure {
  int code = 0;
  int remaining = 0; /* < 0: every call */
};

struct Camera {
  Head head;
  std::deque<QueueEntry> queue;
  std::map<int, Position> presets;
  std::array<Failure, kMethodCount> failures{};
  std::array<int, kMethodCount> delay_ms{};
  std::array<unsigned, kMethodCount> calls{};
  std::array<GVariant *, kMethodCount> last_args{}; /* owned references */
};

struct Options {
  int cameras = kMaxCameras;
  int presets = 32;
  double speed_scale = 1.0;
  double expiry_s = 30.0;
  bool verbose = false;
};

struct State {
  Options opt;
  GDBusConnection *conn = nullptr; /* borrowed from the name owner */
  std::array<Camera, kMaxCameras> cams;
  guint motion_source = 0;
  guint expiry_source = 0;
  std::deque<GDBusMethodInvocation *> unanswered; /* kept for ever, owned */
};

State &state();
/* The camera with that id, or nullptr when the id is not simulated. */
Camera *camera(int id);

GQuark error_quark();

/* Broadcast one of the platform events. */
void emit_event(const char *name, GVariant *args);

/* sim_head.cpp */
void head_reset_presets(Camera &cam);
Position head_position(const Camera &cam);
/* 0, or -1 when the preset has no position. */
int head_goto(int camera_id, int preset, int speed);
void head_stop(int camera_id);
void head_clear_history(Camera &cam);

/* sim_queue.cpp: each returns the reply (status, index, length) of Queue;
 * status 1 = at the head, 0 = waiting, 2 = not in the queue. */
GVariant *queue_action(int camera_id, const char *client, int action);
void queue_touch(int camera_id, const char *client);
void queue_take(int camera_id, const char *client);
void queue_release(int camera_id, const char *client);

/* sim_coordinator.cpp */
void coordinator_register(GDBusConnection *conn);
void coordinator_reset(Camera &cam);

/* sim_clients.cpp: true, with the call answered with an error, when its
 * client name belongs to another account or no new name can be taken;
 * otherwise the name is (now) the caller's account's. */
bool refuse_foreign_client(GDBusMethodInvocation *inv, const char *client);

/* sim_control.cpp */
void control_register(GDBusConnection *conn);
std::string control_state_json();

} // namespace sim
