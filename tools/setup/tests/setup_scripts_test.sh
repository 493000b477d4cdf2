#!/usr/bin/env bash
# The set-up scripts on a machine that already has everything: nothing is fetched or rebuilt;
# a changed input rebuilds; a tarball or tool that fails stops with a message and keeps what
# was there. Stubs stand in for the data tool and apt-get; nothing touches the network.
# setup_scripts_test.sh <repo> [media folder with the pinned files]
set -uo pipefail
repo=$1
media=${2:-${TESMIRA_MEDIA_DIR:-$repo/.cache/media}}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# --- build-data.sh: a stub tool that counts its runs ---
build=$work/build
mkdir -p "$build/tools/models" "$work/cache/models" "$work/media"
tool=$build/tools/models/tesmira_build_data
write_tool() {
  cat >"$tool" <<STUB
#!/usr/bin/env bash
# $1
echo run >>"$work/tool-runs"
[[ -z "\${STUB_FAIL:-}" ]] || exit 3
mkdir -p "\$3/models"
echo "\$(cat "\$2/Megamind.avi")" >"\$3/models/made"
STUB
  chmod +x "$tool"
}
write_tool "first"
for f in face_detection_short_range.tflite face_landmark.tflite geometry_pipeline_metadata_landmarks.binarypb; do
  echo "$f" >"$work/cache/models/$f"
done
echo clip-1 >"$work/media/Megamind.avi"
data() {
  TESMIRA_CACHE_DIR=$work/cache TESMIRA_MEDIA_DIR=$work/media TESMIRA_DATA_DIR=$work/data \
    bash "$repo/tools/setup/build-data.sh" "$build" >"$work/out" 2>&1
}
runs() { [[ -f "$work/tool-runs" ]] && wc -l <"$work/tool-runs" || echo 0; }

data || fail "build-data: first run failed: $(cat "$work/out")"
[[ $(runs) -eq 1 ]] || fail "build-data: first run ran the tool $(runs) times"
[[ "$(cat "$work/data/models/made" 2>/dev/null)" == clip-1 ]] || fail "build-data: first run left no folder"
[[ ! -e "$work/data.part" ]] || fail "build-data: a half-built folder stayed"
before=$(stat -c %Y.%i "$work/data/models/made")
data || fail "build-data: second run failed: $(cat "$work/out")"
[[ $(runs) -eq 1 ]] || fail "build-data: a second run rebuilt"
[[ ! -s "$work/out" ]] || fail "build-data: a second run said: $(cat "$work/out")"
[[ $(stat -c %Y.%i "$work/data/models/made") == "$before" ]] || fail "build-data: a second run touched the folder"

# Each input and the tool itself trigger a rebuild.
step=1
for change in "echo clip-2 >$work/media/Megamind.avi" "echo v2 >>$work/cache/models/face_landmark.tflite" \
  "echo v2 >>$work/cache/models/geometry_pipeline_metadata_landmarks.binarypb" 'write_tool second'; do
  eval "$change"
  step=$((step + 1))
  data || fail "build-data: run after '$change' failed"
  [[ $(runs) -eq $step ]] || fail "build-data: '$change' did not rebuild"
done
[[ "$(cat "$work/data/models/made")" == clip-2 ]] || fail "build-data: the rebuilt folder is stale"

# A failing tool stops the run and keeps the folder that was there.
echo clip-3 >"$work/media/Megamind.avi"
if STUB_FAIL=1 data; then fail "build-data: a failing tool was reported as success"; fi
[[ "$(cat "$work/data/models/made")" == clip-2 ]] || fail "build-data: a failed build damaged the folder"
data || fail "build-data: the run after a failure failed"
[[ "$(cat "$work/data/models/made")" == clip-3 ]] || fail "build-data: the run after a failure did not rebuild"
[[ ! -e "$work/data.part" ]] || fail "build-data: the failed build's leftovers stayed"

# A missing tool is named.
if TESMIRA_DATA_DIR=$work/none bash "$repo/tools/setup/build-data.sh" "$work/nowhere" >"$work/out" 2>&1; then
  fail "build-data: a missing tool was reported as success"
fi
grep -q "is not built" "$work/out" || fail "build-data: missing tool message: $(cat "$work/out")"

# --- fetch-npm.sh: complete stamps fetch nothing; a tarball with a wrong hash stops ---
stub=$work/bin
mkdir -p "$stub"
for cmd in npm apt-get; do
  printf '#!/usr/bin/env bash\necho "%s $*" >>"%s/network"\nexit 1\n' "$cmd" "$work" >"$stub/$cmd"
  chmod +x "$stub/$cmd"
done
value() { grep -oP "^$1=\K.*" "$repo/tools/setup/fetch-npm.sh"; }
cache=$work/npm-cache
mkdir -p "$cache/onnxruntime" "$cache/models"
echo "$(value ort_sha512)" >"$cache/onnxruntime/.stamp"
echo "$(value det_sha512) $(value mesh_sha512)" >"$cache/models/.stamp"
PATH=$stub:$PATH TESMIRA_CACHE_DIR=$cache bash "$repo/tools/setup/fetch-npm.sh" >"$work/out" 2>&1 ||
  fail "fetch-npm: a complete cache failed: $(cat "$work/out")"
[[ ! -s "$work/out" ]] || fail "fetch-npm: a complete cache said: $(cat "$work/out")"
[[ ! -e "$work/network" ]] || fail "fetch-npm: a complete cache fetched: $(cat "$work/network")"

rm "$cache/onnxruntime/.stamp"
mkdir -p "$cache/npm"
echo "not the runtime" >"$cache/npm/$(value ort_tgz)"
if PATH=$stub:$PATH TESMIRA_CACHE_DIR=$cache bash "$repo/tools/setup/fetch-npm.sh" >"$work/out" 2>&1; then
  fail "fetch-npm: a tarball with a wrong hash was accepted"
fi
grep -q "$(value ort_tgz) has sha512 .*, expected $(value ort_sha512)" "$work/out" ||
  fail "fetch-npm: wrong hash message: $(cat "$work/out")"
[[ -f "$cache/npm/$(value ort_tgz).bad" && ! -e "$cache/npm/$(value ort_tgz)" ]] ||
  fail "fetch-npm: the bad tarball was not moved aside"
[[ ! -e "$cache/onnxruntime/.stamp" ]] || fail "fetch-npm: a bad tarball was stamped"

# --- fetch-media.sh: pinned files present fetch nothing; a damaged one is fetched again ---
dest=$work/media-dest
mkdir -p "$dest"
for f in "$media"/*; do ln -s "$f" "$dest/$(basename "$f")"; done
rm -f "$work/network"
PATH=$stub:$PATH TESMIRA_MEDIA_DIR=$dest bash "$repo/tools/setup/fetch-media.sh" >"$work/out" 2>&1 ||
  fail "fetch-media: complete media failed: $(cat "$work/out")"
[[ ! -s "$work/out" ]] || fail "fetch-media: complete media said: $(cat "$work/out")"
[[ ! -e "$work/network" ]] || fail "fetch-media: complete media fetched: $(cat "$work/network")"
rm "$dest/astronaut.png"
echo "not the astronaut" >"$dest/astronaut.png"
if PATH=$stub:$PATH TESMIRA_MEDIA_DIR=$dest bash "$repo/tools/setup/fetch-media.sh" >"$work/out" 2>&1; then
  fail "fetch-media: a damaged file was kept as good"
fi
grep -q "apt-get download .*python3-skimage" "$work/network" || fail "fetch-media: the damaged file was not fetched again"
grep -q "'apt-get download python3-skimage' failed" "$work/out" || fail "fetch-media: failure message: $(cat "$work/out")"

if ((failures)); then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "set-up scripts: all checks passed"
