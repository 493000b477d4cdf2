#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build at once for a bounded time, each from its committed
# seeds with a pinned random seed. A finding (crash, sanitizer report, broken check, time-out,
# memory blow-up) fails its target and prints the report and how to replay the input.
#   tests/fuzz/run.sh <fuzz build folder> <seconds per target>
# Writes <build>/fuzz-run/results: one line per target, "<name> passed|failed <inputs run>".
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
seconds=$2
work="$build/fuzz-run"
rm -rf "$work"
mkdir -p "$work/machine"
# Nothing under fuzz should touch a machine folder; if it does, it touches a scratch one.
export TESMIRA_MACHINE_ROOT="$work/machine"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# ONNX Runtime (the frame target) keeps allocations of its own for the process's life.
export LSAN_OPTIONS=suppressions=$top/cmake/sanitizers/lsan.supp:print_suppressions=0

names=()
pids=()
for target in "$build"/tests/fuzz/fuzz_*; do
  [[ -f $target && -x $target ]] || continue
  name=$(basename "$target")
  seeds="$top/tests/fuzz/corpus/${name#fuzz_}"
  options=(-seed=1 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
    -artifact_prefix="$work/$name/finding-")
  dict="$top/tests/fuzz/dict/${name#fuzz_}.dict"
  [[ -f $dict ]] && options+=(-dict="$dict")
  mkdir -p "$work/$name/corpus"
  # New inputs go to the scratch corpus (the first folder); the committed seeds are only read.
  "$target" "${options[@]}" "$work/$name/corpus" "$seeds" >"$work/$name/log" 2>&1 &
  names+=("$name")
  pids+=($!)
done
if ((${#names[@]} == 0)); then
  echo "fuzz: no targets in $build/tests/fuzz"
  echo "none failed 0" >"$work/results"
  exit 1
fi

failed=0
for i in "${!names[@]}"; do
  name=${names[$i]}
  rc=0
  wait "${pids[$i]}" || rc=$?
  runs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$work/$name/log" | tail -1 | grep -oE '[0-9]+$' || true)
  runs=${runs:-0}
  if ((rc == 0)); then
    printf '%-28s passed  %12d inputs in %s s\n' "$name" "$runs" "$seconds"
    echo "$name passed $runs" >>"$work/results"
  else
    failed=$((failed + 1))
    printf '%-28s FAILED  (exit %d) after %d inputs\n' "$name" "$rc" "$runs"
    echo "$name failed $runs" >>"$work/results"
    grep -vE '^(#[0-9]+|INFO:|MS:|Done )' "$work/$name/log" | tail -60
    for finding in "$work/$name"/finding-*; do
      [[ -e $finding ]] && echo "replay: $build/tests/fuzz/$name $finding"
    done
  fi
done
echo "fuzz: $((${#names[@]} - failed)) passed, $failed failed"
((failed == 0))
