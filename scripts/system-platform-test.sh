#!/usr/bin/env bash
# Builds patrold with -Dplatform=system against the stand-ins installed into a
# scratch prefix, as a firmware build would against the vendor's libraries,
# and runs the daemon's unit tests there. Ends with "N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh || exit 1
dest=build/platform-prefix
out=build/platform-system
rm -rf "$dest" "$out/test-results"
meson install -C build --destdir "$PWD/$dest" --no-rebuild --quiet

# The .pc files name the prefix they were built for; point them at the copy.
prefix=$(meson introspect build --buildoptions |
  python3 -c 'import json,sys; print(next(o["value"] for o in json.load(sys.stdin) if o["name"] == "prefix"))')
pcdir=$(dirname "$(find "$dest" -name paramstore.pc)")
sed -i "s|^prefix=.*|prefix=$PWD/$dest$prefix|" "$pcdir"/*.pc
export PKG_CONFIG_PATH=$PWD/$pcdir

if [ ! -f "$out/build.ninja" ]; then
  meson setup "$out" -Dplatform=system >/dev/null
fi
meson compile -C "$out"
status=0
GTEST_OUTPUT="xml:$PWD/$out/test-results/" \
  meson test -C "$out" --print-errorlogs --num-processes 2 || status=1
python3 scripts/summarize-tests.py "$out/test-results" || status=1
exit "$status"
