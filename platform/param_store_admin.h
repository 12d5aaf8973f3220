/*
 * Administration calls of the parameter store stand-in (libparamstore), for
 * paramctl, tourctl and tests. Not platform calls: the daemon never uses
 * them, and a vendor library need not have them.
 *
 * They share the store, path (PARAM_STORE_PATH, else the build default),
 * locking and name rules of the cli_ calls; every call is one transaction
 * and may be made from any thread. Names are non-empty components of
 * printable characters other than '=' joined by single dots. Admin writes
 * are durable (flushed before the call returns). A call that fails on the
 * store logs the file and the reason as a GLib warning.
 */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  const char *name;
  const char *value;
} param_store_pair;

/* 1 when `name` is acceptable to the store as a parameter or group name. */
int param_store_admin_valid_name(const char *name);

/* The store file this process uses; g_free it. */
char *param_store_admin_path(void);

/* 1 and the value (g_malloc'ed, g_free it) in *value when `name` is set;
 * 0 when absent; -1 when the store cannot be read. */
int param_store_admin_get(const char *name, char **value);

/* Writes every pair in one transaction: all or nothing. Returns 0, or -1
 * (nothing written) on an invalid name, a NULL value or a store failure.
 * When `changed` is not NULL it receives one flag per pair: 1 for the last
 * pair of each name whose final value differs from the value the name had
 * before the call (a new name counts as changed), else 0. So each name is
 * reported at most once, with the value it is left with. */
int param_store_admin_set_many(const param_store_pair *pairs, size_t count,
                               int *changed);

/* Calls `visit` for every parameter under `group` at any depth (every
 * parameter when `group` is NULL or ""), from one consistent snapshot: a
 * group's own parameters first, in order of first write, then its child
 * groups, each in full, in enumeration order. Returns the number visited,
 * or -1 (nothing visited) when the store cannot be read or `group` is not
 * a valid name. */
typedef void (*param_store_visit)(const char *name, const char *value,
                                  void *user_data);
int param_store_admin_list(const char *group, param_store_visit visit,
                           void *user_data);

/* Removes `group` with everything under it, atomically. 1 when it existed,
 * 0 when there was no such group, -1 on failure (nothing removed). */
int param_store_admin_delete_group(const char *group);

#ifdef __cplusplus
}
#endif
