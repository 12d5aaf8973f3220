/*
 * Test seams of the parameter store stand-in (libparamstore). Not part of the
 * platform: the daemon never calls them, and a vendor library need not have
 * them. Tests use them to inject faults and to act between two calls without
 * relying on timing. All functions are thread-safe; settings are
 * process-wide.
 */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Called at the start of every cli_getChildGroupsInGroup with the group
 * name, before the context is opened. NULL removes the hook. */
typedef void (*param_store_hook)(const char *group, void *user_data);
void param_store_testing_set_open_hook(param_store_hook hook, void *user_data);

/* The next `count` calls of the cli_ function named `call` (for example
 * "cli_getCustomParam") fail: they set the error word and change nothing.
 * A count of 0 clears the fault; a negative count fails every call. */
void param_store_testing_fail(const char *call, int count);

/* How many times the cli_ function named `call` has been called since the
 * last reset. */
int param_store_testing_calls(const char *call);

/* How long the SQL of one call may run past its lock wait, in
 * milliseconds, before it is interrupted and fails; 0 restores the
 * library's bound. */
void param_store_testing_set_call_bound(int ms);

/* Clears every hook, fault and counter. */
void param_store_testing_reset(void);

/* Closes the calling thread's connection to the store; the next call opens
 * the file afresh, as a restarted process would. */
void param_store_testing_close_connection(void);

#ifdef __cplusplus
}
#endif
