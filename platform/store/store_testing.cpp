/*
 * Test seams: call counters, injected faults, the call bound and the
 * enumeration open hook.
 * One process-wide table under a mutex; the hook is called without the
 * mutex held so that it may itself call into the store.
 */
#include "param_store_testing.h"
#include "store_internal.h"

#include <atomic>
#include <map>
#include <mutex>

namespace {

struct Seams {
  std::mutex lock;
  std::map<std::string, int, std::less<>> calls;
  std::map<std::string, int, std::less<>> faults; /* < 0: every call */
  param_store_hook hook = nullptr;
  void *hook_data = nullptr;
};

/* Outside the mutex: read on every call. */
std::atomic<int> bound_override{0};

Seams &seams() {
  static Seams s;
  return s;
}

} // namespace

namespace paramstore {

bool enter_call(const char *call) {
  Seams &s = seams();
  std::lock_guard guard(s.lock);
  // Looked up before inserting: this runs on every cli_ call, and building
  // a key string each time would be an allocation per call.
  if (auto it = s.calls.find(std::string_view(call)); it != s.calls.end())
    ++it->second;
  else
    s.calls.emplace(call, 1);
  if (s.faults.empty())
    return true;
  auto fault = s.faults.find(std::string_view(call));
  if (fault == s.faults.end())
    return true;
  if (fault->second > 0 && --fault->second == 0)
    s.faults.erase(fault);
  return false;
}

void run_open_hook(const char *group) {
  param_store_hook hook;
  void *data;
  {
    Seams &s = seams();
    std::lock_guard guard(s.lock);
    hook = s.hook;
    data = s.hook_data;
  }
  if (hook)
    hook(group, data);
}

} // namespace paramstore

extern "C" void param_store_testing_set_open_hook(param_store_hook hook,
                                                  void *user_data) {
  Seams &s = seams();
  std::lock_guard guard(s.lock);
  s.hook = hook;
  s.hook_data = user_data;
}

extern "C" void param_store_testing_fail(const char *call, int count) {
  if (!call)
    return;
  Seams &s = seams();
  std::lock_guard guard(s.lock);
  if (count == 0)
    s.faults.erase(std::string(call));
  else
    s.faults[call] = count;
}

extern "C" int param_store_testing_calls(const char *call) {
  if (!call)
    return 0;
  Seams &s = seams();
  std::lock_guard guard(s.lock);
  auto it = s.calls.find(std::string_view(call));
  return it == s.calls.end() ? 0 : it->second;
}

extern "C" void param_store_testing_reset(void) {
  Seams &s = seams();
  std::lock_guard guard(s.lock);
  s.calls.clear();
  s.faults.clear();
  s.hook = nullptr;
  s.hook_data = nullptr;
  bound_override.store(0, std::memory_order_relaxed);
}

extern "C" void param_store_testing_close_connection(void) {
  paramstore::close_thread_connection();
}

int paramstore::call_bound_ms() {
  int set = bound_override.load(std::memory_order_relaxed);
  return set > 0 ? set : kCallBoundMs;
}

extern "C" void param_store_testing_set_call_bound(int ms) {
  bound_override.store(ms, std::memory_order_relaxed);
}
