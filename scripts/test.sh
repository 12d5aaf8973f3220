#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through
# meson: the GoogleTest binaries and the bus-level pytest suites.
# Ends with "N passed, N failed" over every test case; a skipped test counts
# as failed.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh || exit 1
scripts/build.sh || exit 1

results=build/test-results
rm -rf "$results"
mkdir -p "$results"

GTEST_OUTPUT="xml:$PWD/$results/" meson test -C build --print-errorlogs --num-processes 2
meson_status=$?

/usr/bin/python3 scripts/summarize-tests.py "$results"
summary_status=$?

if [ "$meson_status" -ne 0 ] || [ "$summary_status" -ne 0 ]; then
  exit 1
fi
