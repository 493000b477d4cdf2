#!/usr/bin/env bash
# third-party.sh <folder>: fills <folder> with links to the third-party headers the
# product includes (OpenCV, nlohmann json, ONNX Runtime) and nothing else, so the
# Windows check can search it without reaching any Linux header.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
dir=$1
rm -rf "$dir"
mkdir -p "$dir"
link() {
  if [[ ! -e $1 ]]; then
    echo "windows check: third-party header $1 is missing (run tools/setup/install-deps.sh)" >&2
    exit 1
  fi
  ln -s "$1" "$dir/$(basename "$1")"
}
link /usr/include/opencv4/opencv2
link /usr/include/nlohmann
for h in "$top"/.cache/onnxruntime/include/*.h; do link "$(readlink -f "$h")"; done
