#!/usr/bin/env bash
# Mutation run over tests/mutation/mutations.txt (see tests/mutation/run.py):
#   scripts/mutation-test.sh [--quick] [N...]   (N: those faults only)
# Prints a markdown table of killed / survived / equivalent faults and the
# figures. Not part of CI: a full run takes ten minutes or more on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >/dev/null
exec /usr/bin/python3 tests/mutation/run.py "$@"
