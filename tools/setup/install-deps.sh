#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, from Debian packages and
# hash-pinned npm tarballs only. Idempotent: seconds when everything is present.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# One package a line in debian-packages.txt; comments start with '#'.
mapfile -t wanted < <(grep -vE '^\s*(#|$)' "$here/debian-packages.txt")
missing=()
for pkg in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
# npm may come with a nodejs from elsewhere; Debian's own npm only when there is none.
command -v npm >/dev/null || missing+=(npm)
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Further fetchers (npm tarballs, models, media) live beside this script as fetch-*.sh.
for fetch in "$here"/fetch-*.sh; do
  [[ -e "$fetch" ]] || continue
  bash "$fetch"
done
