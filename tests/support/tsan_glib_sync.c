/* Preloaded into the ThreadSanitizer runs only: GLib is not instrumented, so
 * these wrappers announce the ordering its GMutex, GCond and GAsyncQueue give
 * (acquire after a lock or a pop, release before an unlock or a push). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <glib.h>

void __tsan_acquire(void *addr);
void __tsan_release(void *addr);

/* Resolved on first use: GLib's constructors lock before ours run. */
#define REAL(name)                                                                                 \
  static __typeof__(&name) real;                                                                   \
  __typeof__(&name) fn = __atomic_load_n(&real, __ATOMIC_ACQUIRE);                                 \
  if (fn == NULL) {                                                                                \
    fn = (__typeof__(&name))dlsym(RTLD_NEXT, #name);                                               \
    __atomic_store_n(&real, fn, __ATOMIC_RELEASE);                                                 \
  }

void g_mutex_lock(GMutex *mutex) {
  REAL(g_mutex_lock);
  fn(mutex);
  __tsan_acquire(mutex);
}

void g_mutex_unlock(GMutex *mutex) {
  REAL(g_mutex_unlock);
  __tsan_release(mutex);
  fn(mutex);
}

void g_cond_wait(GCond *cond, GMutex *mutex) {
  REAL(g_cond_wait);
  __tsan_release(mutex);
  fn(cond, mutex);
  __tsan_acquire(mutex);
}

void g_async_queue_push(GAsyncQueue *queue, gpointer data) {
  REAL(g_async_queue_push);
  __tsan_release(queue);
  fn(queue, data);
}

gpointer g_async_queue_pop(GAsyncQueue *queue) {
  REAL(g_async_queue_pop);
  gpointer data = fn(queue);
  __tsan_acquire(queue);
  return data;
}
