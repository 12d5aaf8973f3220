/*
 * Parameter store client library.
 *
 * The daemon's only way to the parameter store. On a device the vendor's
 * library provides these calls; on a development machine the stand-in in
 * this folder (libparamstore, over SQLite) does. Only the params module
 * calls them.
 *
 * Contract:
 *  - Names are dotted and case-sensitive; values are text.
 *  - Every call is atomic and may be made from any thread of any process.
 *  - The error word is set non-zero by a failing call and is never cleared
 *    by a call that succeeds: an operation zeroes it once, at its start.
 *  - Values returned by cli_getCustomParam are g_malloc'ed; the caller frees
 *    them with g_free.
 *  - A group context returned by cli_getChildGroupsInGroup, even by a call
 *    that failed, is released with cli_cleanupGroupContext (NULL is fine).
 */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Client options record: twelve 32-bit words filled by cli_resetOptions.
 * What each word means in the stand-in is documented in param_store.cpp and
 * docs/PLATFORM.md; callers only ever set the word they are told to. */
typedef struct {
  uint32_t word[12];
} cli_Options;

/* Index of the options word that selects the write mode. */
#define CLI_OPTIONS_WRITE_MODE 1
/* Write mode "durable": the commit is flushed to stable storage before the
 * call returns. */
#define CLI_WRITE_MODE_DURABLE 12u

/* Group enumeration context. Callers read `full_name`, `name` and `end`
 * only; everything else belongs to the library. */
typedef struct {
  uint32_t reserved[3];
  const char *full_name; /* current child's full dotted name */
  const char *name;      /* current child's own name, e.g. "G3" */
  int32_t end;           /* non-zero once no child is current */
  void *priv;
} cli_GroupContext;

void cli_resetOptions(cli_Options *options);
void cli_sync(cli_Options *options, int32_t *error);
char *cli_getCustomParam(const char *name, cli_Options *options,
                         int32_t *error);
void cli_setCustomParam(const char *name, const char *value,
                        cli_Options *options, int32_t *error);
/* Returns a context placed before the first child of `group`. */
cli_GroupContext *cli_getChildGroupsInGroup(const char *group,
                                            cli_Options *options,
                                            int32_t *error);
/* Moves to the next child: afterwards the context names it, or `end` is set. */
void cli_getChildGroupInGroup(cli_GroupContext *context, cli_Options *options,
                              int32_t *error);
void cli_cleanupGroupContext(cli_GroupContext *context);
/* Removes the group with every parameter and sub-group under it. */
void cli_deleteGroup(const char *group, cli_Options *options, int32_t *error);

#ifdef __cplusplus
}
#endif
