#!/usr/bin/env bash
# Test media from Debian's opencv-doc package: the face video the demo's file camera
# plays, and a small still face. Checked by sha256; seconds when already present.
# Destination: $TESMIRA_MEDIA_DIR, default <repo>/.cache/media.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
dest=${TESMIRA_MEDIA_DIR:-$top/.cache/media}
data=usr/share/doc/opencv-doc/examples/data

declare -A sha=(
  [Megamind.avi]=0057387cb7e75c8fd1663b62cfdc51fa53f527795d0fe3c1fea2fd159d3130b5
  [messi5.jpg]=1d570e49654e84c7a943918537bd9e5e1ef82920152e147c834006e235be97c9
)

good() { [[ -f "$dest/$1" ]] && [[ $(sha256sum "$dest/$1" | cut -d' ' -f1) == "${sha[$1]}" ]]; }

missing=()
for name in "${!sha[@]}"; do good "$name" || missing+=("$name"); done
((${#missing[@]})) || exit 0

echo "fetch-media: fetching ${missing[*]} from opencv-doc"
mkdir -p "$dest"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A machine whose package lists are missing or stale gets them once before giving up.
(cd "$work" && apt-get download -qq opencv-doc 2>/dev/null) ||
  { apt-get update -qq >/dev/null 2>&1 || true; (cd "$work" && apt-get download -qq opencv-doc 2>/dev/null); } || {
  echo "fetch-media: 'apt-get download opencv-doc' failed (is the Debian mirror reachable?)" >&2
  exit 1
}
members=()
for name in "${missing[@]}"; do members+=("./$data/$name"); done
dpkg-deb --fsys-tarfile "$work"/opencv-doc_*.deb | tar -x -C "$work" "${members[@]}"
for name in "${missing[@]}"; do
  got=$(sha256sum "$work/$data/$name" | cut -d' ' -f1)
  if [[ "$got" != "${sha[$name]}" ]]; then
    echo "fetch-media: $name has sha256 $got, expected ${sha[$name]}" >&2
    exit 1
  fi
  mv "$work/$data/$name" "$dest/$name.part"
  mv "$dest/$name.part" "$dest/$name"
done
echo "fetch-media: media in $dest"
