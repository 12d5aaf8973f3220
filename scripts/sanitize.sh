#!/usr/bin/env bash
# Runs the tests under memory and thread checkers.
#
#   scripts/sanitize.sh [--ci] [asan|tsan|valgrind|all]   (default: all)
#
#   asan      build-asan (AddressSanitizer + UndefinedBehaviorSanitizer):
#             every GoogleTest binary, then the pytest suites against the
#             sanitized patrold, ptz-sim, paramctl and tourctl.
#   tsan      build-tsan (ThreadSanitizer): the tests that run threads (the
#             store's concurrent writers, the engine's Running writer, the
#             PTZ events across contexts).
#   valgrind  patrold from build-valgrind (no sanitizer) under memcheck
#             through the tours played end to end and the fuzz test; each
#             run of the daemon ends with SIGTERM, so memcheck sums it up.
#   --ci      the asan stage only.
#
# Every stage ends with "N passed, N failed". A checker report (a file under
# the stage's report folder) fails the stage even when the test that caused
# it passed: a leak found at a SIGTERM exit is not always looked at by a test.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SUPP=$ROOT/tests/support
JOBS=${SANITIZE_JOBS:-2}

ci=0
stage=all
for arg in "$@"; do
  case $arg in
    --ci) ci=1 ;;
    asan|tsan|valgrind|all) stage=$arg ;;
    *) echo "usage: $0 [--ci] [asan|tsan|valgrind|all]" >&2; exit 2 ;;
  esac
done
[ "$ci" -eq 1 ] && stage=asan

scripts/install-deps.sh >/dev/null || exit 1

configure() {  # folder, meson options...
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    meson setup "$dir" "$@" >/dev/null || return 1
  else
    meson configure "$dir" "$@" >/dev/null || return 1
  fi
  ninja -C "$dir" -j"$JOBS" "${BUILD_TARGETS[@]}" >"$dir/sanitize-build.log" 2>&1 \
    || { tail -30 "$dir/sanitize-build.log"; return 1; }
}

# Prints the reports a checker left and returns how many there were.
reports() {  # folder
  local n=0
  for f in "$1"/*; do
    [ -s "$f" ] || continue
    n=$((n + 1))
    echo "--- $f"; head -40 "$f"
  done
  return "$n"
}

# Test results plus checker reports: "N passed, N failed". Each report
# counts as one failure of its own.
summarize() {  # results folder, report count
  local out line passed failed
  out=$(/usr/bin/python3 scripts/summarize-tests.py "$1")
  line=$(tail -1 <<<"$out")
  grep -v ' passed, ' <<<"$out"
  passed=${line%% passed*}
  failed=${line#*, }; failed=${failed%% failed*}
  failed=$((failed + $2))
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
}

stage_asan() {
  local dir=$ROOT/build-asan results=$ROOT/build-asan/test-results
  local start=$SECONDS
  BUILD_TARGETS=()
  configure "$dir" -Db_sanitize=address,undefined -Db_lundef=false || return 1
  rm -rf "$results"; mkdir -p "$results/reports"
  # log_path: each sanitized process writes its report to a file of its own,
  # so a report survives a test that never reads the program's stderr.
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1:log_path=$results/reports/asan"
  export LSAN_OPTIONS="suppressions=$SUPP/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$results/reports/ubsan"
  # The daemon runs under preloaded wrappers; the ASan runtime must precede them.
  export PATROLD_PRELOAD
  PATROLD_PRELOAD=$(gcc -print-file-name=libasan.so)

  # Left to the ordinary run: the demo (its script builds a preload chain of
  # its own and drives the daemon along the end-to-end suite's roads) and the
  # benchmarks (figures taken under ASan mean nothing).
  # libfaketime and the ASan runtime deadlock while both load, so the
  # end-to-end timetable test runs in the ordinary stages only; the
  # timetable code itself runs here in the schedule unit tests.
  PYTEST_ADDOPTS="--deselect tests/e2e/test_schedule.py" \
  GTEST_OUTPUT="xml:$results/" meson test -C "$dir" --no-rebuild --print-errorlogs \
    --num-processes "$JOBS" --timeout-multiplier 3 --no-suite demo --no-suite bench
  unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS PATROLD_PRELOAD
  reports "$results/reports"; local found=$?
  echo "asan stage: $((SECONDS - start)) s"
  summarize "$results" "$found"
}

stage_tsan() {
  local dir=$ROOT/build-tsan results=$ROOT/build-tsan/test-results
  local start=$SECONDS
  BUILD_TARGETS=(tests/store/store-test tests/engine/engine-test tests/ptz/ptz-events-test)
  configure "$dir" -Db_sanitize=thread -Db_lundef=false || return 1
  rm -rf "$results"; mkdir -p "$results/reports"
  # GLib is not instrumented and its locks are raw futexes that TSan cannot
  # see. Its own hand-offs between a thread and the GDBus worker (a block
  # malloc'ed here and freed there) would look like races: the accesses that
  # uninstrumented code makes through TSan's interceptors are ignored. The
  # ordering that GLib's locks give this project's code is made visible by
  # tsan_glib_sync.c; every access of this project's code is still checked.
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=$SUPP/tsan.supp:log_path=$results/reports/tsan"
  local sync=$dir/libtsan-glib-sync.so
  gcc -fsanitize=thread -shared -fPIC -O1 -g -Wall -Wextra \
    $(pkg-config --cflags glib-2.0) -o "$sync" "$SUPP/tsan_glib_sync.c" \
    $(pkg-config --libs glib-2.0) -ldl || return 1
  export LD_PRELOAD="$(gcc -print-file-name=libtsan.so) $sync"
  local status=0
  "$dir/tests/store/store-test" --gtest_output="xml:$results/store.xml" || status=1
  # Of the engine's cases only the Running writer starts threads.
  "$dir/tests/engine/engine-test" --gtest_filter='*RunningWriter*' \
    --gtest_output="xml:$results/engine.xml" || status=1
  "$dir/tests/ptz/ptz-events-test" --gtest_output="xml:$results/ptz-events.xml" || status=1
  unset TSAN_OPTIONS LD_PRELOAD
  reports "$results/reports"; local found=$?
  echo "tsan stage: $((SECONDS - start)) s"
  summarize "$results" "$found" && [ "$status" -eq 0 ]
}

stage_valgrind() {
  local dir=$ROOT/build-valgrind results=$ROOT/build-valgrind/test-results
  local start=$SECONDS
  BUILD_TARGETS=(patrold ptz-sim paramctl tools/syslog-capture/libsyslog-capture.so)
  configure "$dir" || return 1
  rm -rf "$results"; mkdir -p "$results/reports"
  # --log-file per process: the test reads the summary of the daemon's run.
  PATROLD_WRAPPER="valgrind --leak-check=full --errors-for-leak-kinds=definite \
--error-exitcode=99 --track-origins=yes --num-callers=30 \
--suppressions=$SUPP/valgrind.supp --log-file=$results/reports/memcheck.%p" \
  VALGRIND_LOG_DIR=$results/reports \
  PATROLD_BUILD_DIR=$dir /usr/bin/python3 -m pytest -p no:cacheprovider -q \
    --junitxml="$results/pytest.xml" tests/reliability \
    tests/e2e/test_tours.py -k "not killed"
  local found=0
  for f in "$results"/reports/memcheck.*; do
    [ -f "$f" ] || continue
    grep -E "HEAP SUMMARY|total heap usage|ERROR SUMMARY|(definitely|indirectly|possibly) lost:" "$f"
    grep -q "ERROR SUMMARY: 0 errors" "$f" || { found=$((found + 1)); cat "$f"; }
  done
  echo "valgrind stage: $((SECONDS - start)) s"
  summarize "$results" "$found"
}

status=0
case $stage in
  asan) stage_asan || status=1 ;;
  tsan) stage_tsan || status=1 ;;
  valgrind) stage_valgrind || status=1 ;;
  all)
    stage_asan || status=1
    stage_tsan || status=1
    stage_valgrind || status=1 ;;
esac
exit $status
