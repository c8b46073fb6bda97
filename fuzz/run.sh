#!/usr/bin/env bash
# Runs the fuzz targets (fuzz/*_fuzz.cpp) as libFuzzer programs of the fuzz preset (clang,
# AddressSanitizer, UBSan), each for a while over its seed corpus, and prints how many inputs each
# ran and how fast. New inputs go to build/fuzz/corpus/<target> (kept from run to run), the input
# of a finding to build/fuzz/findings/<target>/; the run fails when any target finds something.
#
#   bash fuzz/run.sh                       every target for 5 seconds (what scripts/test.sh runs)
#   bash fuzz/run.sh --seconds 600         every target for ten minutes
#   bash fuzz/run.sh --seconds 60 table    one target
#
# A finding is replayed with build/fuzz/fuzz/<target>_fuzz <input>; once mended, its input goes
# into fuzz/corpus/<target>/, where every build's tests replay it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=5
targets=()
while (($#)); do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if ((${#targets[@]} == 0)); then
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name%_fuzz}")
  done
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

failed=0
printf '%-14s %12s %10s  %s\n' target inputs 'inputs/s' outcome
for target in "${targets[@]}"; do
  program=build/fuzz/fuzz/${target}_fuzz
  work=build/fuzz/corpus/$target
  findings=build/fuzz/findings/$target/
  log=build/fuzz/logs/$target.log
  mkdir -p "$work" "$findings" "$(dirname "$log")"
  status=0
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings" "$work" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  inputs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  outcome="no finding"
  if ((status != 0)); then
    outcome="FINDING (exit $status): see $log and $findings"
    failed=1
  fi
  printf '%-14s %12s %10s  %s\n' "$target" "${inputs:--}" "${rate:--}" "$outcome"
done
exit $failed
