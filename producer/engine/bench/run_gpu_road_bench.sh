#!/usr/bin/env bash
# The GPU frame-road benchmark: on Mesa's lavapipe with 8 threads and with 1, then on a
# hardware GPU when the machine has one. Run after ./tesmira build (benchmarks on).
set -uo pipefail
top=$(cd "$(dirname "$0")/../../.." && pwd)
bench=${1:-$top/build/bench/gpu_road_bench}
[[ -x $bench ]] || { echo "missing $bench: run ./tesmira build first" >&2; exit 1; }
status=0
for threads in 8 1; do
  echo "== lavapipe, LP_NUM_THREADS=$threads"
  TESMIRA_D3D11_ADAPTER=cpu LP_NUM_THREADS=$threads "$bench" 2> >(grep -v 'libpng warning' >&2) || status=1
done
echo "== hardware GPU (TESMIRA_D3D11_ADAPTER=gpu)"
TESMIRA_D3D11_ADAPTER=gpu "$bench" 2> >(grep -v 'libpng warning' >&2) || echo "(no hardware GPU here)"
exit $status
