#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and running the
# demo need. The one list of system packages of the project; the scripts
# that need more (cross builds, packaging) name their extra packages as
# arguments, so that installing happens here alone.
#
#   scripts/install-deps.sh [EXTRA_PACKAGE...]
set -euo pipefail

PACKAGES=(
  build-essential g++ pkg-config meson ninja-build
  libglib2.0-dev libglib2.0-dev-bin libglib2.0-bin libsqlite3-dev sqlite3
  libgtest-dev libgmock-dev googletest
  dbus dbus-daemon
  python3 python3-gi gir1.2-glib-2.0 python3-dbusmock python3-pytest
  libnss-wrapper libuid-wrapper faketime
  valgrind procps systemd util-linux passwd
  clang-format git
  libmosquitto-dev libjson-glib-dev mosquitto mosquitto-clients python3-paho-mqtt openssl
  "$@"
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}; run as root to install them" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
