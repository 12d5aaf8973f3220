#!/usr/bin/env bash
# The reliability suite at full size: the bus fuzzer over several seeds, the
# store fuzzer over dozens of hostile stores, SIGKILL/restart cycles, the
# request burst, and the coordinator fault cases. Prints the figures and writes them as JSON to
# <build dir>/reliability.json. Exit status 0 only when every step passed.
#
#   scripts/reliability.sh [BUILD_DIR]     (default: $PATROLD_BUILD_DIR, else ./build)
#
# Sizes can be changed through the environment: PATROLD_FUZZ_CALLS (messages
# per seed), PATROLD_FUZZ_SEEDS (comma-separated), PATROLD_STORE_ROUNDS,
# PATROLD_STORE_SEED, PATROLD_CRASH_CYCLES.
set -uo pipefail
cd "$(dirname "$0")/.."

build_dir=$(realpath "${1:-${PATROLD_BUILD_DIR:-build}}")
[ -x "$build_dir/patrold" ] || { echo "no patrold in $build_dir: build first" >&2; exit 2; }
export PATROLD_BUILD_DIR="$build_dir"

calls=${PATROLD_FUZZ_CALLS:-10000}
fuzz_seeds=${PATROLD_FUZZ_SEEDS:-1,2,3,4}
store_rounds=${PATROLD_STORE_ROUNDS:-60}
store_seed=${PATROLD_STORE_SEED:-1}
crash_cycles=${PATROLD_CRASH_CYCLES:-6}

figures=$(mktemp -d)
trap 'rm -rf "$figures"' EXIT
rel=tests/reliability
py=/usr/bin/python3
failed=()

step() { # step NAME COMMAND...: runs one step, keeps going after a failure
  local name=$1; shift
  echo "== $name: $*"
  local started=$SECONDS
  if "$@"; then
    echo "== $name passed in $((SECONDS - started)) s"
  else
    echo "== $name FAILED after $((SECONDS - started)) s"
    failed+=("$name")
  fi
}

IFS=, read -ra seeds <<< "$fuzz_seeds"
for seed in "${seeds[@]}"; do
  step "bus fuzz seed $seed" $py $rel/busfuzz.py --seed "$seed" --calls "$calls" \
    --seconds 300 --json "$figures/bus-$seed.json"
done
step "store fuzz" $py $rel/storefuzz.py --seed "$store_seed" --rounds "$store_rounds" \
  --json "$figures/store.json"
step "crash and restart" $py $rel/crashrestart.py --cycles "$crash_cycles" \
  --requests 1000 --json "$figures/crash.json"

step "coordinator faults" $py -m pytest -q -p no:cacheprovider tests/faults \
  --junitxml="$figures/faults.xml"

$py - "$figures" "$build_dir/reliability.json" "${failed[@]}" <<'PY'
import datetime, json, os, pathlib, platform, sys
folder, out, failed = pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3:]
parts = {p.stem: json.loads(p.read_text()) for p in sorted(folder.glob("*.json"))}
import xml.etree.ElementTree as ET
faults_xml = folder / "faults.xml"
fault_cases = ([c.get("name") for c in ET.parse(faults_xml).getroot().iter("testcase")]
               if faults_xml.exists() else [])
bus = [v for k, v in parts.items() if k.startswith("bus-")]
store, crash = parts.get("store", {}), parts.get("crash", {})
summary = {
    "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
    "machine": {"nproc": os.cpu_count(), "kernel": platform.release()},
    "bus_fuzz": {"seeds": [b["seed"] for b in bus],
                 "calls_fuzzed": sum(b["calls"] for b in bus),
                 "signals_sent": sum(b["signals"] for b in bus),
                 "valid_driver_uninstalls": sum(b["by_kind"].get("DriverUninstalled valid", 0) for b in bus)},
    "store_fuzz": {"rounds": store.get("rounds"), "hostile_values_tried": store.get("hostile_values"),
                   "values_written": store.get("values_written"), "starts": store.get("starts"),
                   "clean_exits": store.get("clean_exits")},
    "crash_restart": {"crashes_and_restarts": crash.get("crash_restart_cycles"),
                      "integrity_checks_ok": crash.get("integrity_checks_ok"),
                      "burst_requests": crash.get("burst_requests"),
                      "burst_final_running": crash.get("burst_final_running")},
    "coordinator_faults": {"cases": len(fault_cases), "names": fault_cases},
    "failed_steps": failed,
    "details": parts,
}
pathlib.Path(out).write_text(json.dumps(summary, indent=2) + "\n")
print(json.dumps({k: v for k, v in summary.items() if k != "details"}, indent=2))
print(f"figures written to {out}")
PY

if [ ${#failed[@]} -ne 0 ]; then
  echo "reliability: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "reliability: all steps passed in $SECONDS s"
