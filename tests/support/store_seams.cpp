/*
 * The store's test seams: call counters, injected faults, the call bound and
 * the enumeration open hook, in one process-wide table under a mutex. The
 * hook runs without the mutex held, so that it may itself call into the store.
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
  std::atomic<int> bound{0}; /* outside the mutex: read on every call */
} seams;

} // namespace

bool paramstore::enter_call(const char *call) {
  std::lock_guard guard(seams.lock);
  ++seams.calls[call];
  auto fault = seams.faults.find(std::string_view(call));
  if (fault == seams.faults.end())
    return true;
  if (fault->second > 0 && --fault->second == 0)
    seams.faults.erase(fault);
  return false;
}

int paramstore::call_bound_ms() {
  const int set = seams.bound.load(std::memory_order_relaxed);
  return set > 0 ? set : kCallBoundMs;
}

void paramstore::run_open_hook(const char *group) {
  std::unique_lock guard(seams.lock);
  const auto hook = seams.hook;
  void *const data = seams.hook_data;
  guard.unlock();
  if (hook)
    hook(group, data);
}

void param_store_testing_set_open_hook(param_store_hook hook, void *user_data) {
  std::lock_guard guard(seams.lock);
  seams.hook = hook;
  seams.hook_data = user_data;
}

void param_store_testing_fail(const char *call, int count) {
  std::lock_guard guard(seams.lock);
  if (count == 0)
    seams.faults.erase(std::string(call));
  else
    seams.faults[call] = count;
}

int param_store_testing_calls(const char *call) {
  std::lock_guard guard(seams.lock);
  auto it = seams.calls.find(std::string_view(call));
  return it == seams.calls.end() ? 0 : it->second;
}

void param_store_testing_set_call_bound(int ms) {
  seams.bound.store(ms, std::memory_order_relaxed);
}

void param_store_testing_reset(void) {
  std::lock_guard guard(seams.lock);
  seams.calls.clear();
  seams.faults.clear();
  seams.hook = nullptr;
  seams.bound.store(0, std::memory_order_relaxed);
}

void param_store_testing_close_connection(void) { paramstore::close_thread_connection(); }
