#!/usr/bin/env bash
# test-producer.sh [folder]: the producer PE that link-producer.sh made (default
# build-windows/pe) under Wine, through wine.sh (no display, every run under a time
# limit): its command line, then a still-image retouch run. Its headers and imports are
# test-binaries.sh's. One line per case, "passed: <case>" or "failed: <case>: <why>";
# exits non-zero when any case failed.
#   TESMIRA_WINEPREFIX   the Wine prefix (wine.sh's, made when missing)
#   TESMIRA_WINE_STILL=0 leaves out the --still run on the data folder (.cache/data)
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
dir=${1:-$top/build-windows/pe}
name=tesmira_windows_retouch_vcam_producer.exe
exe=$dir/$name
failures=0

# shellcheck source=result.sh
source "$top/tools/windows-check/result.sh"
# shellcheck source=wine.sh
source "$top/tools/windows-check/wine.sh"

if [[ ! -f $exe ]]; then
  result "$name exists" "not built (run tools/windows-check/link-producer.sh)"
  exit 1
fi
wine_prefix && result "the Wine prefix is ready" "" || { result "the Wine prefix is ready" "wineboot failed"; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# run <args...>: the producer under Wine from its own folder; fills $rc, $stdout, $stderr
# (carriage returns of the console's text mode dropped, Wine's own notices filtered).
run() {
  rc=0
  (cd "$dir" && wine_run 60 "$name" "$@" >"$scratch/out" 2>"$scratch/err") || rc=$?
  stdout=$(tr -d '\r' <"$scratch/out")
  stderr=$(tr -d '\r' <"$scratch/err" | grep -vE '^(it looks like wine32 is missing|multiarch needs|execute "dpkg|apt-get install wine32|[0-9a-f]{4}:(err|fixme|warn):)' || true)
}

usage_tail='       [--repo-root path] [--max-width px] [--mirror] [--no-loop] [--bypass]
       [--split] [--headless-frames n] [--camera-index n]
       [--still image.png] [--stamp-seq] [--still-fps n]
       [--camera-backend dshow|msmf|auto] [--landmark-lead-ms n]
       [--min-tracking-confidence n] [--mediapipe-lib path] [--face-task path]
       [--landmark-detector-model path] [--landmark-mesh-model path]
       [--calibration path] [--telemetry-endpoint loopback-url]'
start=$SECONDS
for flag in --help -h; do
  run "$flag"
  expect_equal "under Wine, $flag exits 0" 0 "$rc"
  # The program name is argv[0] as Windows hands it over; the rest is fixed text.
  first=$(head -n1 <<<"$stdout")
  program=$(sed -nE 's/^Usage: (.*) \[--video path \| --camera\] \[--provider cpu\|directml\|cuda\]$/\1/p' <<<"$first")
  [[ $program == *tesmira_windows_retouch_vcam_producer* ]] && result "under Wine, $flag names the program in the usage" "" ||
    result "under Wine, $flag names the program in the usage" "first line [$first]"
  expect_equal "under Wine, $flag prints the usage's other seven lines" "$usage_tail" "$(tail -n +2 <<<"$stdout")"
  expect_equal "under Wine, $flag writes nothing to standard error" "" "$stderr"
done

# <case>|<arguments, space-separated>|<standard error>
bad_options=(
  "an unknown option|--bogus|fatal: Unknown argument: --bogus"
  "a second bare path|one.mp4 two.mp4|fatal: Unknown argument: two.mp4"
  "an unknown provider|--provider vulkan|fatal: Unknown provider 'vulkan'. Use cpu, directml, or cuda."
  "a value option in the last place|--video|fatal: --video requires a value."
  "a bad camera backend|--camera-backend v4l2|fatal: --camera-backend must be dshow, msmf, or auto."
  "a malformed number|--max-width wide|fatal: invalid stoi argument"
  "--help after an unknown option|--bogus --help|fatal: Unknown argument: --bogus"
)
for row in "${bad_options[@]}"; do
  IFS='|' read -r what args want <<<"$row"
  read -ra argv <<<"$args"
  run "${argv[@]}"
  expect_equal "under Wine, $what exits 1" 1 "$rc"
  expect_equal "under Wine, $what is reported on standard error" "$want" "$stderr"
  expect_equal "under Wine, $what prints nothing on standard output" "" "$stdout"
done
run --help --bogus
expect_equal "under Wine, --help before an unknown option wins" 0 "$rc"
echo "producer Wine checks (command line): $((SECONDS - start)) s"

# A retouch run on a still image with the ONNX landmarker, on the data folder: Wine's
# Direct3D 11 has no device without a display, so the frames take the CPU road.
data=${TESMIRA_DATA_DIR:-$top/.cache/data}
still=$top/.cache/media/astronaut.png
if [[ ${TESMIRA_WINE_STILL:-1} != 1 ]]; then
  echo "note: still run skipped (TESMIRA_WINE_STILL=0)"
elif [[ ! -f $data/models/retouch.onnx || ! -f $still ]]; then
  echo "note: still run skipped: no data folder at $data or no $still (./tesmira data, tools/setup/fetch-media.sh)"
else
  winpath() { wine_run 30 winepath -w "$1" 2>/dev/null; }
  lib=$data/libmediapipe.dll
  [[ -f $lib ]] || lib=$dir/onnxruntime.dll  # on the ONNX road only its existence is checked
  log=$WINEPREFIX/drive_c/ProgramData/Tesmira/Logs/vcam-producer.log
  rm -f "$log"
  start=$SECONDS
  rc=0
  (cd "$dir" && TESMIRA_ONNX_LANDMARKER=1 wine_run "${TESMIRA_WINE_STILL_SECONDS:-180}" "$name" \
    --repo-root "$(winpath "$data")" --still "$(winpath "$still")" --mediapipe-lib "$(winpath "$lib")" \
    --camera --headless-frames 60 >"$scratch/out" 2>"$scratch/err") || rc=$?
  echo "producer Wine checks (still run): $((SECONDS - start)) s"
  lines=""
  [[ -f $log ]] && lines=$(tr -d '\r' <"$log" | cut -d' ' -f3-)
  expect_equal "under Wine, a --still run with the ONNX landmarker exits 0" 0 "$rc"
  expect_equal "under Wine, the still run loads the ONNX landmarker" "landmarker: onnx provider=cpu" \
    "$(grep -m1 '^landmarker: ' <<<"$lines")"
  expect_equal "under Wine, the still run goes live and stops in order" $'status: live\nvcam producer stopped' \
    "$(grep -xE 'status: live|vcam producer stopped' <<<"$lines" | uniq)"
  # Each statistics line covers the frames since the last one: all of them found the
  # face, were retouched and published, and none failed.
  stats=$(grep '^vcam producer frames=' <<<"$lines" || true)
  bad=$(grep -vE ' no-face=0 process-errors=0 ' <<<"$stats" || true)
  while read -r line; do
    [[ -n $line ]] || continue
    published=$(sed -nE 's/.* published=([0-9]+) .*/\1/p' <<<"$line")
    retouched=$(sed -nE 's/.* retouched=([0-9]+) .*/\1/p' <<<"$line")
    [[ $published == "$retouched" && $published -gt 0 ]] || bad+="$line"$'\n'
  done <<<"$stats"
  expect_equal "under Wine, the still run retouches every frame it publishes" "" "$bad"
  # What Wine could not give: reported, not checked.
  grep -hE 'GPU compositor unavailable|DXGI' "$scratch/err" | tr -d '\r' | sed 's/^/note: /'
  tail -n1 <<<"$stats" | sed 's/^/note: last statistics: /'
fi

((failures == 0))
