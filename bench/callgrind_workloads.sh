#!/usr/bin/env bash
# Instructions executed per benchmark workload, counted by valgrind's
# callgrind tool: counts that do not move with the machine's load, for
# comparing two builds of the library.
#
# Usage:
#   bench/callgrind_workloads.sh api    [--bin PATH] [--mode delete|wal|both] [--scale F] [--dir DIR]
#   bench/callgrind_workloads.sh calls  [--bin PATH] [--mode delete|wal|both] [--calls N] [--dir DIR]
#   bench/callgrind_workloads.sh medium [--bin PATH] [--transactions N] [--dir DIR]
#
# api    runs api_bench (default build/bench/api/api_bench, --mode both,
#        --scale 0.1: under a minute; --scale 1 takes some 2.5 minutes a
#        mode) once, with a callgrind dump after each call of its report
#        function, and prints "name instructions" per workload, names from
#        api_bench's own lines in order. A dump holds
#        everything since the previous one, so each workload's figure also
#        holds the setup between it and the workload before (the first one
#        the program's start, W1 its texts, W6 filling u). The instructions
#        after the last workload are a comment line; the script fails unless
#        all dumps add up to callgrind's total.
# calls  runs call_cost_bench (default build/bench/api/call_cost_bench,
#        --mode both, --calls 5000) once per shape and mode, counting only
#        inside that shape's measure_* function, and prints
#        "mode.shape instructions instructions_per_call".
# medium runs medium_transaction_bench (default
#        build/bench/api/medium_transaction_bench, --transactions 40) once
#        per loop of transactions, counting only inside its
#        measure_transactions function, and prints
#        "name instructions instructions_per_transaction".
#
# --bin takes any build of either program, e.g. one linked against another
# commit's library. --dir goes to the program (where its files go; default
# $TMPDIR or /tmp). The counts repeat from run to run within a few dozen
# instructions per workload, but some grow with the length of the database
# file's path (a rollback-journal commit by some 28 instructions a
# character): compare runs made with the same --dir. Two runs at once need
# different directories.
set -euo pipefail

what=${1:-}
[[ $what == api || $what == calls || $what == medium ]] || { sed -n '6,9p' "$0" >&2; exit 2; }
shift
root=$(cd "$(dirname "$0")/.." && pwd)
case $what in
  api) bin=$root/build/bench/api/api_bench ;;
  calls) bin=$root/build/bench/api/call_cost_bench ;;
  medium) bin=$root/build/bench/api/medium_transaction_bench ;;
esac
mode=both scale=0.1 calls=5000 transactions=40 dir_args=()
while (($#)); do
  case $1 in
    --bin) bin=$2 ;;
    --mode) mode=$2 ;;
    --scale) scale=$2 ;;
    --calls) calls=$2 ;;
    --transactions) transactions=$2 ;;
    --dir) dir_args=(--dir "$2") ;;
    *) sed -n '6,9p' "$0" >&2; exit 2 ;;
  esac
  shift 2
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The first count in a callgrind output file: its "summary:" or "totals:" line.
count_of() { awk '/^(summary|totals):/ { print $2; exit }' "$1"; }

# count_inside NAME FUNCTION REPEATS FORMAT ARGS...: runs the program with
# ARGS, counting only inside FUNCTION, checks that it printed a line for
# NAME, and prints "NAME instructions instructions_per_repeat".
count_inside() {
  local name=$1 fn=$2 repeats=$3 format=$4
  shift 4
  valgrind --tool=callgrind --callgrind-out-file="$tmp/cg.$name" \
    --collect-atstart=no --toggle-collect="*$fn(*" \
    "$bin" "$@" "${dir_args[@]}" >"$tmp/stdout" 2>"$tmp/stderr" ||
    { cat "$tmp/stderr" >&2; exit 1; }
  grep -q "^$name " "$tmp/stdout" || { echo "$name did not run" >&2; exit 1; }
  local n
  n=$(count_of "$tmp/cg.$name")
  awk -v name="$name" -v n="$n" -v r="$repeats" -v f="%s %s $format\n" 'BEGIN { printf f, name, n, n / r }'
}

if [[ $what == api ]]; then
  valgrind --tool=callgrind --callgrind-out-file="$tmp/cg" \
    --dump-after='*::report(*' \
    "$bin" --mode "$mode" --scale "$scale" "${dir_args[@]}" >"$tmp/stdout" 2>"$tmp/stderr" ||
    { cat "$tmp/stderr" >&2; exit 1; }
  mapfile -t names < <(awk '!/^#/ { print $1 }' "$tmp/stdout")
  dumps=$(ls "$tmp" | grep -c '^cg\.[0-9]*$' || true)
  ((dumps == ${#names[@]})) || { echo "${#names[@]} workloads but $dumps dumps" >&2; exit 1; }
  sum=0
  for i in "${!names[@]}"; do
    n=$(count_of "$tmp/cg.$((i + 1))")
    echo "${names[$i]} $n"
    sum=$((sum + n))
  done
  rest=$(count_of "$tmp/cg")  # from the last report to the program's exit
  sum=$((sum + rest))
  total=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$tmp/stderr")
  echo "# after the last workload $rest"
  echo "# total $sum (callgrind's own total $total)"
  ((sum == total)) || { echo "dumps do not add up to the total" >&2; exit 1; }
elif [[ $what == medium ]]; then
  for loop in delete.alternating_2.4_2.9 wal.alternating_2.5_2.9 delete.over_bound_4.19; do
    count_inside "$loop" measure_transactions "$transactions" %.0f --only "$loop" --transactions "$transactions"
  done
else
  [[ $mode == both ]] && modes=(delete wal) || modes=("$mode")
  for m in "${modes[@]}"; do
    for shape in select_1 point_lookup autocommit_insert; do
      count_inside "$m.$shape" "measure_$shape" "$calls" %.1f --mode "$m" --only "$shape" --calls "$calls"
    done
  done
fi
