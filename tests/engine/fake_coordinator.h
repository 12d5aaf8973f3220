/*
 * A scripted PTZ coordinator for engine tests. It owns
 * "com.vorn.PTZ.Coordinator" on a connection of its own, served by a thread
 * of its own: the engine makes blocking calls from the test's thread, which
 * a coordinator served there could never answer.
 *
 * Every call is recorded. Replies come from a per-method script; when a
 * method's script is empty, Queue answers (1, 0, 0), QueryPosition answers
 * the standing position, GotoPresetNumber and Move answer empty.
 */
#pragma once

#include <array>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gio/gio.h>

struct CoordinatorCall {
  std::string method;
  int camera_id;
  std::string client;
  std::vector<int32_t> ints; /* the integer arguments, in order */
};

struct ScriptedReply {
  std::vector<int32_t> values; /* Queue: 3; QueryPosition: first members */
  int error_code = 0;          /* non-zero: answer with this error code */
};

class FakeCoordinator {
public:
  explicit FakeCoordinator(const std::string &bus_address);
  ~FakeCoordinator();

  /* Forget calls and scripts; the standing position returns to 0, 0, 0. */
  void reset();
  void script(const std::string &method, ScriptedReply reply);
  void set_position(std::array<int32_t, 3> position);
  std::vector<CoordinatorCall> calls(const std::string &method = "") const;

private:
  void serve();
  void answer(const char *path, const char *method, GVariant *parameters,
              GDBusMethodInvocation *invocation);

  std::string address_;
  GMainContext *context_;
  GMainLoop *loop_;
  GThread *thread_;
  mutable std::mutex lock_;
  std::condition_variable ready_cond_;
  int ready_ = 0; /* 1: serving, -1: failed */
  std::vector<CoordinatorCall> calls_;
  std::map<std::string, std::deque<ScriptedReply>> scripts_;
  std::array<int32_t, 3> position_{};
};
