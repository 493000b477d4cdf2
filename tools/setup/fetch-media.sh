#!/usr/bin/env bash
# Test media from Debian packages: the face video the demo's file camera plays, small and
# large still faces, and OpenCV's Haar cascades as an outside reference for face boxes.
# Checked by sha256; seconds when already present.
# Destination: $TESMIRA_MEDIA_DIR, default <repo>/.cache/media.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
dest=${TESMIRA_MEDIA_DIR:-$top/.cache/media}

# name -> "package member sha256"
declare -A media=(
  [Megamind.avi]="opencv-doc usr/share/doc/opencv-doc/examples/data/Megamind.avi 0057387cb7e75c8fd1663b62cfdc51fa53f527795d0fe3c1fea2fd159d3130b5"
  [messi5.jpg]="opencv-doc usr/share/doc/opencv-doc/examples/data/messi5.jpg 1d570e49654e84c7a943918537bd9e5e1ef82920152e147c834006e235be97c9"
  [astronaut.png]="python3-skimage usr/lib/python3/dist-packages/skimage/data/astronaut.png 88431cd9653ccd539741b555fb0a46b61558b301d4110412b5bc28b5e3ea6cb5"
  [haarcascade_frontalface_default.xml]="opencv-data usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml 0f7d4527844eb514d4a4948e822da90fbb16a34a0bbbbc6adc6498747a5aafb0"
  [haarcascade_eye.xml]="opencv-data usr/share/opencv4/haarcascades/haarcascade_eye.xml 71cc64fc305a355dc60067880f6fbbd43dd155bd63ee3844661a1bda34b2fd8c"
)

field() { read -r -a parts <<<"${media[$1]}"; echo "${parts[$2]}"; }
good() { [[ -f "$dest/$1" ]] && [[ $(sha256sum "$dest/$1" | cut -d' ' -f1) == "$(field "$1" 2)" ]]; }

declare -A wanted=()  # package -> names missing from it
for name in "${!media[@]}"; do
  good "$name" || wanted[$(field "$name" 0)]+=" $name"
done
((${#wanted[@]})) || exit 0

mkdir -p "$dest"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
refreshed=0
for pkg in "${!wanted[@]}"; do
  read -r -a names <<<"${wanted[$pkg]}"
  echo "fetch-media: fetching ${names[*]} from $pkg"
  # A machine whose package lists are missing or stale gets them once before giving up.
  if ! (cd "$work" && apt-get download -qq "$pkg" 2>/dev/null); then
    ((refreshed)) || { apt-get update -qq >/dev/null 2>&1 || true; refreshed=1; }
    (cd "$work" && apt-get download -qq "$pkg" 2>/dev/null) || {
      echo "fetch-media: 'apt-get download $pkg' failed (is the Debian mirror reachable?)" >&2
      exit 1
    }
  fi
  members=()
  for name in "${names[@]}"; do members+=("./$(field "$name" 1)"); done
  dpkg-deb --fsys-tarfile "$work/${pkg}"_*.deb | tar -x -C "$work" "${members[@]}"
  for name in "${names[@]}"; do
    file=$work/$(field "$name" 1)
    got=$(sha256sum "$file" | cut -d' ' -f1)
    if [[ "$got" != "$(field "$name" 2)" ]]; then
      echo "fetch-media: $name has sha256 $got, expected $(field "$name" 2)" >&2
      exit 1
    fi
    mv "$file" "$dest/$name.part"
    mv "$dest/$name.part" "$dest/$name"
  done
done
echo "fetch-media: media in $dest"
