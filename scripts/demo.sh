#!/usr/bin/env bash
# Installs what is missing, builds, and shows patrold at work.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
cat <<'MSG'

patrold is built. To try it by hand on a private bus:

  dbus-daemon --config-file=tests/support/system-bus.conf --fork --print-address=1
  export DBUS_SYSTEM_BUS_ADDRESS=<the address it printed>
  export PARAM_STORE_PATH=/tmp/patrold-demo.db
  build/patrold -n
MSG
