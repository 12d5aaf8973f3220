#!/usr/bin/env bash
# Configures (once) and builds the project in ./build.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/build.ninja ]; then
  meson setup build "$@"
fi
meson compile -C build
