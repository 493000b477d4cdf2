#!/usr/bin/env bash
# Runs the README's test command as a new machine would: a fresh clone of this checkout's
# HEAD (shared/ beside it, read-only), an empty HOME and XDG cache (so no ccache or npm
# cache from outside the clone), env -i with a minimal PATH, CI=true, no display, no
# standard input. What it cannot undo is what this machine already has installed: see
# the check of apt-mark's manual packages at the end.
#   tools/fresh-machine.sh [folder]   (default: a new folder under /tmp)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$(mktemp -d /tmp/tesmira-fresh-XXXXXX)}
mkdir -p "$work"
clone="$work/main"
rm -rf "$clone" "$work/home"
git clone -q "$top" "$clone"
git -C "$clone" checkout -q "$(git -C "$top" rev-parse HEAD)"
if [[ -d "$top/../shared" && ! -e "$work/shared" ]]; then
  cp -r "$top/../shared" "$work/shared"
  chmod -R a-w "$work/shared"
fi
mkdir -p "$work/home"
echo "fresh-machine: $(git -C "$clone" log -1 --format='%h %s') in $clone"
start=$(date +%s)
rc=0
env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME="$work/home" \
  XDG_CACHE_HOME="$work/home/.cache" CI=true LANG=C.UTF-8 \
  bash "$clone/.ci/run" </dev/null >"$work/test.log" 2>&1 || rc=$?
end=$(date +%s)
grep -E '^(== |all: )' "$work/test.log" || true
echo "fresh-machine: exit $rc after $(( (end - start) / 60 )) min $(( (end - start) % 60 )) s; log $work/test.log"

# Packages installed by hand here that the set-up does not list: a new machine lacks them.
listed=$(grep -vE '^\s*(#|$)' "$top/tools/setup/debian-packages.txt" | sort -u)
extra=$(comm -23 <(apt-mark showmanual | sort -u) <(echo "$listed") | tr '\n' ' ')
echo "fresh-machine: manually installed here but not in the package list (check none is needed): $extra"
exit $rc
