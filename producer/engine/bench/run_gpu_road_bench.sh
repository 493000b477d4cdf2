#!/usr/bin/env bash
# The GPU frame-road benchmark and the compositor's own: on Mesa's lavapipe with 8 threads
# and with 1, then on a hardware GPU when the machine has one. Run after ./tesmira build
# (benchmarks on).
set -uo pipefail
top=$(cd "$(dirname "$0")/../../.." && pwd)
bench=${1:-$top/build/bench/gpu_road_bench}
compositor=$(dirname "$bench")/gpu_compositor_bench
for b in "$bench" "$compositor"; do
  [[ -x $b ]] || { echo "missing $b: run ./tesmira build first" >&2; exit 1; }
done
status=0
for threads in 8 1; do
  echo "== lavapipe, LP_NUM_THREADS=$threads"
  for b in "$bench" "$compositor"; do
    TESMIRA_D3D11_ADAPTER=cpu LP_NUM_THREADS=$threads "$b" 2> >(grep -v 'libpng warning' >&2) || status=1
  done
done
echo "== hardware GPU (TESMIRA_D3D11_ADAPTER=gpu)"
for b in "$bench" "$compositor"; do
  TESMIRA_D3D11_ADAPTER=gpu "$b" 2> >(grep -v 'libpng warning' >&2) || echo "(no hardware GPU here)"
done
exit $status
