#!/usr/bin/env bash
# Runs every fuzz target for a bounded time; fails on any finding.
#
#   tests/fuzz/run.sh <directory of the built targets> [seconds per target]
#
# Each target starts from its seed corpus (tests/fuzz/corpus/<target>) and
# grows a scratch corpus under <dir>/work; a crash, a sanitizer report, a
# leak, a hang (an input running longer than FUZZ_TIMEOUT seconds, default
# 25) or running out of memory stops it, leaves the input in
# <dir>/findings/ and fails the run. FUZZ_JOBS targets run at once
# (default 2). A finding is replayed with <dir>/fuzz_<target> <file>, and
# belongs in tests/fuzz/regressions/<target>/ once it is fixed.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
bin="${1:?usage: run.sh <dir> [seconds]}"
seconds="${2:-60}"
jobs="${FUZZ_JOBS:-2}"
timeout="${FUZZ_TIMEOUT:-25}"
mkdir -p "$bin/work" "$bin/findings" "$bin/logs"

run_one() {
  local t=$1 max_len=$2
  local work="$bin/work/$t" log="$bin/logs/$t.log" dict=()
  mkdir -p "$work"
  [ -f "$here/$t.dict" ] && dict=(-dict="$here/$t.dict")
  "$bin/fuzz_$t" -max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=2560 -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$bin/findings/$t-" "${dict[@]}" "$work" "$here/corpus/$t" >"$log" 2>&1
  local rc=$?
  local execs
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  if [ $rc -eq 0 ]; then
    echo "fuzz $t: ${execs:-?} executions in ${seconds} s, $(ls "$work" | wc -l) corpus entries, no findings"
  else
    echo "fuzz $t: FAILED after ${execs:-?} executions (exit $rc); the end of $log:"
    tail -40 "$log"
  fi
  return $rc
}

status=0
for entry in sql:1024 dbfile:512 logs:512 record:512; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || status=1; done
  run_one "${entry%%:*}" "${entry##*:}" &
done
while [ "$(jobs -rp | wc -l)" -gt 0 ]; do wait -n || status=1; done
wait || status=1
exit $status
