/*
 * The cli_ calls on single parameters, and the options record.
 *
 * Options words in this stand-in:
 *   0  record version, 1 after cli_resetOptions (informational)
 *   1  write mode: CLI_WRITE_MODE_DURABLE (12) commits with
 *      synchronous=FULL, so the write is on stable storage when the call
 *      returns; anything else commits with synchronous=NORMAL (survives a
 *      crash of the process, may lose the newest commits on power loss)
 *   2  lock wait in milliseconds; 0 means the default of 5000
 *   3..11 reserved, zero
 */
#include "store_internal.h"

#include <cstring>

#include <glib.h>

using namespace paramstore;

extern "C" void cli_resetOptions(cli_Options *options) {
  enter_call("cli_resetOptions");
  if (!options)
    return;
  std::memset(options, 0, sizeof *options);
  options->word[kOptionsVersionWord] = kOptionsVersion;
  options->word[kOptionsLockWaitWord] = kDefaultLockWaitMs;
}

extern "C" void cli_sync(cli_Options *options, int32_t *error) {
  if (!enter_call("cli_sync"))
    return raise(error, StoreError::Injected);
  // Every call reads the file itself, so there is nothing to catch up on;
  // what is left to check is that the store can be reached at all.
  if (!connection(options))
    raise(error, StoreError::Unavailable);
}

extern "C" char *cli_getCustomParam(const char *name, cli_Options *options,
                                    int32_t *error) {
  if (!enter_call("cli_getCustomParam")) {
    raise(error, StoreError::Injected);
    return nullptr;
  }
  if (!valid_name(name)) {
    raise(error, StoreError::Invalid);
    return nullptr;
  }
  Connection *c = connection(options);
  if (!c) {
    raise(error, StoreError::Unavailable);
    return nullptr;
  }
  std::string value;
  switch (read_param(*c, name, &value)) {
  case 1:
    return g_strndup(value.data(), value.size());
  case 0:
    raise(error, StoreError::Absent);
    return nullptr;
  default:
    raise(error, StoreError::Failed);
    return nullptr;
  }
}

extern "C" void cli_setCustomParam(const char *name, const char *value,
                                   cli_Options *options, int32_t *error) {
  if (!enter_call("cli_setCustomParam"))
    return raise(error, StoreError::Injected);
  if (!valid_name(name) || !value)
    return raise(error, StoreError::Invalid);
  Connection *c = connection(options);
  if (!c)
    return raise(error, StoreError::Unavailable);
  WriteTxn txn(*c, write_is_durable(options));
  if (!txn.ok() || write_param(*c, name, value) != 0 || txn.commit() != 0)
    raise(error, StoreError::Failed);
}
