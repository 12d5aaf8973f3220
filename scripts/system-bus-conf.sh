#!/usr/bin/env bash
# Prints the configuration of a private system bus that behaves like
# Debian's: its system.conf with the listen address replaced, no fork, no
# user switch, no activation, and instead of the machine's policy folders
# only the policy files and folders given.
#
#   scripts/system-bus-conf.sh ADDRESS POLICY...
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 ADDRESS POLICY..." >&2; exit 2; }
address=$1; shift
includes=
for policy in "$@"; do
  if [ -d "$policy" ]; then
    includes+="<includedir>$policy</includedir>"
  else
    includes+="<include>$policy</include>"
  fi
done
# Every element dropped sits on a line of its own in Debian's file.
sed -E -e '/<(user|pidfile|servicehelper)>|<fork\/>|<standard_system_servicedirs\/>|<include/d' \
  -e "s|<listen>.*</listen>|<listen>$address</listen>|" \
  -e "s|</busconfig>|$includes</busconfig>|" /usr/share/dbus-1/system.conf
