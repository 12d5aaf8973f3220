/*
 * Preloaded into the ThreadSanitizer runs only. GLib is not instrumented and
 * its GMutex, GCond and GAsyncQueue are built on raw futexes, so TSan sees
 * none of the ordering they give and reports every structure they guard as
 * a race. These wrappers around the entry points this project calls tell
 * TSan about that ordering (acquire after a lock or a pop, release before an
 * unlock or a push) and change nothing else; a structure touched without the
 * lock is still reported.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <glib.h>

void __tsan_acquire(void *addr);
void __tsan_release(void *addr);

/* Resolved on first use: GLib's own constructors lock before any of ours
 * runs. Every thread resolves to the same address, so a repeated lookup is
 * harmless; the atomics keep TSan quiet about it. */
#define REAL(type, name)                                                     \
  static type real_##name;                                                   \
  type fn_##name = __atomic_load_n(&real_##name, __ATOMIC_ACQUIRE);          \
  if (fn_##name == NULL) {                                                   \
    fn_##name = (type)dlsym(RTLD_NEXT, #name);                               \
    __atomic_store_n(&real_##name, fn_##name, __ATOMIC_RELEASE);             \
  }

typedef void (*mutex_fn)(GMutex *);
typedef gboolean (*trylock_fn)(GMutex *);
typedef void (*wait_fn)(GCond *, GMutex *);
typedef gboolean (*wait_until_fn)(GCond *, GMutex *, gint64);
typedef void (*push_fn)(GAsyncQueue *, gpointer);
typedef gpointer (*pop_fn)(GAsyncQueue *);

void g_mutex_lock(GMutex *mutex) {
  REAL(mutex_fn, g_mutex_lock);
  fn_g_mutex_lock(mutex);
  __tsan_acquire(mutex);
}

gboolean g_mutex_trylock(GMutex *mutex) {
  REAL(trylock_fn, g_mutex_trylock);
  gboolean locked = fn_g_mutex_trylock(mutex);
  if (locked)
    __tsan_acquire(mutex);
  return locked;
}

void g_mutex_unlock(GMutex *mutex) {
  REAL(mutex_fn, g_mutex_unlock);
  __tsan_release(mutex);
  fn_g_mutex_unlock(mutex);
}

void g_cond_wait(GCond *cond, GMutex *mutex) {
  REAL(wait_fn, g_cond_wait);
  __tsan_release(mutex);
  fn_g_cond_wait(cond, mutex);
  __tsan_acquire(mutex);
}

gboolean g_cond_wait_until(GCond *cond, GMutex *mutex, gint64 end_time) {
  REAL(wait_until_fn, g_cond_wait_until);
  __tsan_release(mutex);
  gboolean signalled = fn_g_cond_wait_until(cond, mutex, end_time);
  __tsan_acquire(mutex);
  return signalled;
}

void g_async_queue_push(GAsyncQueue *queue, gpointer data) {
  REAL(push_fn, g_async_queue_push);
  __tsan_release(queue);
  fn_g_async_queue_push(queue, data);
}

gpointer g_async_queue_pop(GAsyncQueue *queue) {
  REAL(pop_fn, g_async_queue_pop);
  gpointer data = fn_g_async_queue_pop(queue);
  __tsan_acquire(queue);
  return data;
}
