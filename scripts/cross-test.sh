#!/usr/bin/env bash
# Builds patrold for a camera's CPU (armhf or arm64) and runs the GoogleTest
# unit tests and the bus-level suite tests/e2e under qemu. Ends with
# "N passed, N failed".
#
# The cross compiler comes from Debian's g++-TRIPLET (its own C library);
# GLib, SQLite and GoogleTest come from a tree of the ARCH's Debian packages
# (apt in download-only mode with ARCH as its only architecture and an empty
# status, then dpkg -x), as an SDK's sysroot would. Multiarch installs of the
# same libraries are not used: the archive's amd64 and ARCH point releases
# of Multi-Arch: same packages can differ. The tree is kept in
# build/cross-cache/ARCH, so a rerun only builds and tests.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-}
case "$arch" in
  armhf) triplet=arm-linux-gnueabihf; qemu=qemu-arm-static ;;
  arm64) triplet=aarch64-linux-gnu; qemu=qemu-aarch64-static ;;
  *) echo "usage: $0 armhf|arm64" >&2; exit 2 ;;
esac

scripts/install-deps.sh "g++-$triplet" qemu-user-static

cache=$PWD/build/cross-cache/$arch
sysroot=$cache/sysroot
out=build/cross-$arch
packages=(libc6 libstdc++6 libglib2.0-dev libsqlite3-dev libgtest-dev libgmock-dev
          libuid-wrapper libnss-wrapper libfaketime)
if [ "$(cat "$sysroot/.complete" 2>/dev/null)" != "${packages[*]}" ]; then
  rm -rf "$cache" "$out"
  mkdir -p "$cache/lists/partial" "$cache/debs/partial" "$sysroot"
  : >"$cache/status"
  apt_opts=(-o "APT::Architecture=$arch" -o "APT::Architectures=$arch"
            -o "Dir::State::status=$cache/status" -o "Dir::State::Lists=$cache/lists"
            -o "Dir::Cache::archives=$cache/debs" -o Dir::Cache::pkgcache=
            -o Dir::Cache::srcpkgcache=)
  # An index that fails to download (a mirror in sync) leaves the older suite's
  # packages, which serve a sysroot as well; the install below is the check.
  apt-get "${apt_opts[@]}" update -qq || true
  apt-get "${apt_opts[@]}" install -y -qq --download-only --no-install-recommends \
    "${packages[@]}" >/dev/null
  for deb in "$cache"/debs/*.deb; do dpkg -x "$deb" "$sysroot"; done
  echo "${packages[*]}" >"$sysroot/.complete"
fi

if [ ! -f "$out/build.ninja" ]; then
  printf "[constants]\nsysroot = '%s'\n" "$sysroot" >"$cache/sysroot.ini"
  meson setup "$out" --cross-file "$cache/sysroot.ini" --cross-file "cross/$arch.ini" >/dev/null
fi
meson compile -C "$out"

results=$out/test-results
rm -rf "$results"
status=0
GTEST_OUTPUT="xml:$PWD/$results/" meson test -C "$out" --print-errorlogs \
  --num-processes 2 --timeout-multiplier 4 || status=1

# The bus-level suite tests/e2e with every program of the ARM build under
# qemu, on the host's private bus. Each program is a static launcher of
# qemu: a dynamically linked one (a shell script) would meet the ARM
# preloads the suite sets and say so on its standard error.
progs=$out/qemu-programs
rm -rf "$progs"
mkdir -p "$progs/tools/syslog-capture"
ln -s "$PWD/$out/tools/syslog-capture/libsyslog-capture.so" "$progs/tools/syslog-capture/"
for p in patrold ptz-sim paramctl tourctl; do
  cc -static -O2 -o "$progs/$p" -x c - -DQEMU="\"$(command -v "$qemu")\"" \
    -DSYSROOT="\"$sysroot\"" -DPROGRAM="\"$PWD/$out/$p\"" <<'EOF'
#include <unistd.h>
int main(int argc, char **argv) {
  char *args[argc + 4];
  args[0] = QEMU; args[1] = "-L"; args[2] = SYSROOT; args[3] = PROGRAM;
  for (int i = 1; i <= argc; i++) args[i + 3] = argv[i];
  execv(QEMU, args);
  return 127;
}
EOF
done
# The wall-clock preload of the timetable test is the ARM one; qemu finds
# it under the sysroot.
PATROLD_FAKETIME=/usr/lib/$triplet/faketime/libfaketime.so.1 \
PATROLD_BUILD_DIR=$PWD/$progs /usr/bin/python3 -m pytest -p no:cacheprovider -q \
  --junitxml="$results/e2e.xml" tests/e2e || status=1

python3 scripts/summarize-tests.py "$results" || status=1
exit "$status"
