#!/usr/bin/env bash
# The reliability tests of the everyday suite at full size: the fuzz test
# (hostile values and requests, tests/reliability) over several seeds with
# many messages, and from tests/e2e/test_tours.py the SIGKILL/restart cycles,
# the request burst and the coordinator faults.
# Prints the figures and writes them as JSON to <build dir>/reliability.json.
# Exit status 0 only when every step passed.
#
#   scripts/reliability.sh [BUILD_DIR]     (default: $PATROLD_BUILD_DIR, else ./build)
#
# Sizes through the environment: PATROLD_FUZZ_CALLS (messages per seed,
# default 10000), PATROLD_FUZZ_SEEDS (comma-separated, default 1,2,3,4),
# PATROLD_CRASH_CYCLES (default 6), PATROLD_BURST_REQUESTS (default 1000),
# PATROLD_FUZZ_NAME_BYTES (the longest stored tour name, default 40 MB).
set -uo pipefail
cd "$(dirname "$0")/.."

build_dir=$(realpath "${1:-${PATROLD_BUILD_DIR:-build}}")
[ -x "$build_dir/patrold" ] || { echo "no patrold in $build_dir: build first" >&2; exit 2; }
export PATROLD_BUILD_DIR="$build_dir"
export PATROLD_FUZZ_CALLS=${PATROLD_FUZZ_CALLS:-10000}
export PATROLD_CRASH_CYCLES=${PATROLD_CRASH_CYCLES:-6}
export PATROLD_BURST_REQUESTS=${PATROLD_BURST_REQUESTS:-1000}
export PATROLD_FUZZ_NAME_BYTES=${PATROLD_FUZZ_NAME_BYTES:-41943040}
fuzz_seeds=${PATROLD_FUZZ_SEEDS:-1,2,3,4}

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
failed=()

step() { # step NAME XML PYTEST-ARGS...: keeps going after a failure
  local name=$1 xml=$2; shift 2
  echo "== $name"
  local started=$SECONDS
  if /usr/bin/python3 -m pytest -q -p no:cacheprovider --junitxml="$results/$xml" "$@"; then
    echo "== $name passed in $((SECONDS - started)) s"
  else
    echo "== $name FAILED after $((SECONDS - started)) s"
    failed+=("$name")
  fi
}

IFS=, read -ra seeds <<< "$fuzz_seeds"
for seed in "${seeds[@]}"; do
  PATROLD_FUZZ_SEED=$seed step "fuzz seed $seed" "fuzz-$seed.xml" tests/reliability
done
step "crash/restart and burst" tours.xml tests/e2e/test_tours.py -k "killed or burst"
step "coordinator faults" faults.xml tests/e2e/test_tours.py -k coordinator

/usr/bin/python3 - "$results" "$build_dir/reliability.json" "$SECONDS" "$fuzz_seeds" \
  "${failed[@]}" <<'PY'
import datetime, json, os, pathlib, platform, sys
import xml.etree.ElementTree as ET
folder, out, seconds, seeds, failed = (pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3],
                                       sys.argv[4], sys.argv[5:])

def cases(name):
    path = folder / name
    return list(ET.parse(path).getroot().iter("testcase")) if path.exists() else []

def props(case):
    return {p.get("name"): p.get("value") for p in case.iter("property")}

fuzz = [props(c) for xml in sorted(folder.glob("fuzz-*.xml")) for c in cases(xml.name)]
env = lambda name: int(os.environ[name])
summary = {
    "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
    "machine": {"nproc": os.cpu_count(), "kernel": platform.release()},
    "seconds": int(seconds),
    "fuzz": {"seeds": [int(s) for s in seeds.split(",")],
             "messages": env("PATROLD_FUZZ_CALLS") * len(seeds.split(",")),
             "slowest_round_trip_ms": max((int(f["slowest_round_trip_ms"]) for f in fuzz), default=None),
             "round_trip_with_write_lock_held_ms": max((int(f["lock_held_round_trip_ms"]) for f in fuzz), default=None)},
    "crash_restart_cycles": env("PATROLD_CRASH_CYCLES"),
    "burst_requests": env("PATROLD_BURST_REQUESTS") + 1,
    "coordinator_faults": [c.get("name") for c in cases("faults.xml")],
    "failed_steps": failed,
}
pathlib.Path(out).write_text(json.dumps(summary, indent=2) + "\n")
print(json.dumps(summary, indent=2))
print(f"figures written to {out}")
PY

if [ ${#failed[@]} -ne 0 ]; then
  echo "reliability: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "reliability: all steps passed in $SECONDS s"
