/*
 * Test seams of the tests' build of the parameter store stand-in: faults,
 * call counts, and a hook to act between two calls without relying on
 * timing. Thread-safe; settings are process-wide.
 */
#pragma once

extern "C" {

/* Called at the start of every cli_getChildGroupsInGroup with the group
 * name, before the context is opened. NULL removes the hook. */
typedef void (*param_store_hook)(const char *group, void *user_data);
void param_store_testing_set_open_hook(param_store_hook hook, void *user_data);

/* The next `count` calls of the cli_ function named `call` (for example
 * "cli_getCustomParam") fail: they set the error word and change nothing.
 * A count of 0 clears the fault; a negative count fails every call. */
void param_store_testing_fail(const char *call, int count);

/* How many times the cli_ function named `call` has been called since the
 * last reset; "durable write" counts the writes made in durable mode. */
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
}
