#!/usr/bin/env bash
# Builds the data folder (models, masks, lookup tables, calibration) with the model tools of
# a build folder: build-data.sh [build folder]. Rebuilt only when the tool or an input changed.
# Destination: $TESMIRA_DATA_DIR, default <repo>/.cache/data.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
cache=${TESMIRA_CACHE_DIR:-$top/.cache}
media=${TESMIRA_MEDIA_DIR:-$cache/media}
dest=${TESMIRA_DATA_DIR:-$cache/data}
tool=$build/tools/models/tesmira_build_data
[[ -x "$tool" ]] || { echo "build-data: $tool is not built" >&2; exit 1; }

inputs=("$tool" "$cache/models/face_detection_short_range.tflite" "$cache/models/face_landmark.tflite"
  "$cache/models/geometry_pipeline_metadata_landmarks.binarypb" "$media/Megamind.avi")
stamp=$(sha256sum "${inputs[@]}" | cut -d' ' -f1 | sha256sum | cut -d' ' -f1)
if [[ ! -f "$dest/.stamp" || "$(cat "$dest/.stamp")" != "$stamp" ]]; then
  echo "build-data: building $dest"
  work="$dest.part"
  rm -rf "$work"
  "$tool" "$cache/models" "$media" "$work"
  echo "$stamp" >"$work/.stamp"
  rm -rf "$dest"
  mv "$work" "$dest"
fi

# The landmark library, once the build makes it, sits at the data root.
lib=$(find "$build" -maxdepth 3 -name libmediapipe.dll -type f 2>/dev/null | head -1)
if [[ -n "$lib" ]] && ! cmp -s "$lib" "$dest/libmediapipe.dll"; then
  cp "$lib" "$dest/libmediapipe.dll.part"
  mv "$dest/libmediapipe.dll.part" "$dest/libmediapipe.dll"
fi
