#!/usr/bin/env bash
# Installs what is missing, builds, and shows patrold at work: two guard
# tours on two simulated cameras, driven by the real daemon on a private bus.
#
#   scripts/demo.sh [--seconds N] [--no-clear] [--dir DIR] [--state-file FILE]
#                   [--build-dir DIR] [--wrapped-account]
#
# Each run works in a fresh folder of its own (mktemp -d), where the store,
# the private bus's socket and patrold.log live. --dir DIR works in DIR
# instead: DIR must not exist, or be the folder of an earlier run, which is
# then wiped.
# --build-dir uses an existing build and skips installing and building.
# --wrapped-account runs the account switch under uid_wrapper/nss_wrapper
# instead of creating the "patrold" system account (for tests). Without it
# the private bus applies the installed bus policy, as a real system does.

set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

seconds=60 clear=1 dir= state_file= build= wrapped=0
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --no-clear) clear=0; shift ;;
    --dir) dir=$2; shift 2 ;;
    --state-file) state_file=$2; shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    --wrapped-account) wrapped=1; shift ;;
    -h|--help) sed -n '2,/^$/s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "demo: unknown argument $1" >&2; exit 2 ;;
  esac
done

if [ -z "$build" ]; then
  scripts/install-deps.sh
  scripts/build.sh
  build=$ROOT/build
fi
build=$(cd "$build" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "demo: run as root: patrold switches to its own account" >&2
  exit 1
fi

# Programs sit at the top of the build folder.
program() {
  [ -x "$build/$1" ] && { echo "$build/$1"; return; }
  echo "demo: $1 is not built in $build" >&2
  exit 1
}
PARAMCTL=$(program paramctl)
PTZ_SIM=$(program ptz-sim)
PATROLD=$(program patrold)

pids=()
cleanup() {
  trap - EXIT INT TERM
  local pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  echo "demo: stopped process ids ${pids[*]}"
  echo "demo: patrold's log lines are in $dir/patrold.log"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A fresh folder each time: a store left with Running=yes would make patrold
# resume last run's tours before the demo sets them up. Root works in it, so
# it must be root's alone: a folder someone else made (or could swap) is
# never reused, and a marker tells the demo's own folders apart.
marker=.patrold-demo
if [ -z "$dir" ]; then
  dir=$(mktemp -d /tmp/patrold-demo.XXXXXX)
elif [ -e "$dir" ] || [ -L "$dir" ]; then
  if [ -L "$dir" ] || [ ! -d "$dir" ] || [ ! -O "$dir" ] || [ ! -f "$dir/$marker" ]; then
    echo "demo: $dir exists and is not the folder of an earlier demo run; choose another --dir" >&2
    exit 1
  fi
  rm -rf "$dir"
  mkdir -m 0700 "$dir"
else
  mkdir -m 0700 "$dir"
fi
dir=$(cd "$dir" && pwd -P)
: >"$dir/$marker"
mkdir "$dir/store"
export PARAM_STORE_PATH=$dir/store/params.db
: >"$dir/patrold.log"

if [ "$wrapped" -eq 1 ]; then
  printf 'root:x:0:0:root:/root:/bin/sh\npatrold:x:991:991:patrold:/nonexistent:/bin/false\n' >"$dir/passwd"
  printf 'root:x:0:\npatrold:x:991:\n' >"$dir/group"
  account_env=(LD_PRELOAD="libuid_wrapper.so libnss_wrapper.so $build/tools/syslog-capture/libsyslog-capture.so"
               UID_WRAPPER=1 UID_WRAPPER_ROOT=1
               NSS_WRAPPER_PASSWD="$dir/passwd" NSS_WRAPPER_GROUP="$dir/group")
  as_service=()
  # uid_wrapper fakes the ids inside patrold only: the bus, which asks the
  # kernel, cannot confirm them, so patrold connects anonymously. The
  # socket's folder is root's alone, so no one else can connect.
  cat >"$dir/bus.conf" <<BUS
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <auth>ANONYMOUS</auth>
  <allow_anonymous/>
  <policy context="default">
    <allow user="*"/>
    <allow own="com.vorn.PresetTour"/>
    <allow own="com.vorn.PTZ.Coordinator"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
BUS
else
  if ! getent passwd patrold >/dev/null; then
    echo "demo: creating the system account \"patrold\" (useradd --system)"
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
      --shell /usr/sbin/nologin patrold
  fi
  # patrold writes the store after dropping root, and paramctl runs as the
  # same account so that no file of the store ends up owned by root.
  chown -R patrold:patrold "$dir/store" "$dir/patrold.log"
  # patrold reaches the bus's socket and its store through the folder.
  chgrp patrold "$dir"
  chmod 0750 "$dir"
  scripts/system-bus-conf.sh "unix:path=$dir/bus" "$build/data/com.vorn.PresetTour.conf" \
    "$ROOT/data/ptz-sim.conf" >"$dir/bus.conf"
  account_env=(LD_PRELOAD="$build/tools/syslog-capture/libsyslog-capture.so")
  as_service=(setpriv --reuid=patrold --regid=patrold --init-groups)
fi
paramctl() { "${as_service[@]}" "$PARAMCTL" "$@"; }

read -r address pid < <(dbus-daemon --config-file="$dir/bus.conf" \
  --fork --print-address=1 --print-pid=1 | paste -sd' ')
pids+=("$pid")
export DBUS_SYSTEM_BUS_ADDRESS=$address
bus_line="demo: private bus $address (pid $pid)"
echo "$bus_line"

"$PTZ_SIM" --speed-scale 2 >/dev/null &
pids+=("$!")
echo "demo: ptz-sim pid $!"

env "${account_env[@]}" SYSLOG_CAPTURE_FILE="$dir/patrold.log" "$PATROLD" -n &
pids+=("$!")
echo "demo: patrold pid $!"

has_owner() {
  gdbus call --system --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true
}
for name in com.vorn.PTZ.Coordinator com.vorn.PresetTour; do
  for _ in $(seq 100); do has_owner "$name" && break; sleep 0.1; done
  has_owner "$name" || { echo "demo: $name did not appear on the bus" >&2; exit 1; }
done

# Two tours an integrator would configure, each walked in Position order
# (not store order), each point held a second.
paramctl import <<'TOURS'
root.RezazErar.G1.Name=Front gate
root.RezazErar.G1.CamNbr=1
root.RezazErar.G1.RandomEnabled=no
root.RezazErar.G1.TimeBetweenSequences=0
root.RezazErar.G1.Running=no
root.RezazErar.G1.Tour.T0.PresetNbr=3
root.RezazErar.G1.Tour.T0.Position=2
root.RezazErar.G1.Tour.T0.MoveSpeed=60
root.RezazErar.G1.Tour.T0.WaitTime=1
root.RezazErar.G1.Tour.T0.WaitTimeViewType=Seconds
root.RezazErar.G1.Tour.T1.PresetNbr=1
root.RezazErar.G1.Tour.T1.Position=0
root.RezazErar.G1.Tour.T1.MoveSpeed=60
root.RezazErar.G1.Tour.T1.WaitTime=1
root.RezazErar.G1.Tour.T1.WaitTimeViewType=Seconds
root.RezazErar.G1.Tour.T2.PresetNbr=5
root.RezazErar.G1.Tour.T2.Position=1
root.RezazErar.G1.Tour.T2.MoveSpeed=60
root.RezazErar.G1.Tour.T2.WaitTime=1
root.RezazErar.G1.Tour.T2.WaitTimeViewType=Seconds
root.RezazErar.G2.Name=Yard
root.RezazErar.G2.CamNbr=2
root.RezazErar.G2.RandomEnabled=no
root.RezazErar.G2.TimeBetweenSequences=0
root.RezazErar.G2.Running=no
root.RezazErar.G2.Tour.T0.PresetNbr=8
root.RezazErar.G2.Tour.T0.Position=0
root.RezazErar.G2.Tour.T0.MoveSpeed=80
root.RezazErar.G2.Tour.T0.WaitTime=1
root.RezazErar.G2.Tour.T0.WaitTimeViewType=Seconds
root.RezazErar.G2.Tour.T1.PresetNbr=2
root.RezazErar.G2.Tour.T1.Position=1
root.RezazErar.G2.Tour.T1.MoveSpeed=80
root.RezazErar.G2.Tour.T1.WaitTime=1
root.RezazErar.G2.Tour.T1.WaitTimeViewType=Seconds
TOURS
echo "demo: tours 1 (camera 1: presets 1, 5, 3) and 2 (camera 2: presets 8, 2) configured"

# Running=yes through the store is what starts a tour on a device: paramctl
# tells patrold about the change.
paramctl set root.RezazErar.G1.Running=yes root.RezazErar.G2.Running=yes

view=(/usr/bin/python3 "$ROOT/scripts/demo-view.py" --seconds "$seconds"
      --paramctl "$PARAMCTL" --header "$bus_line")
[ "$clear" -eq 0 ] && view+=(--no-clear)
[ -n "$state_file" ] && view+=(--state-file "$state_file")
"${view[@]}" || true
