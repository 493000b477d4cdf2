#!/usr/bin/env bash
# wine.sh: Wine 8 for the Windows checks, in a prefix of its own under build-windows.
# Source it for the functions, or run it:
#   bash tools/windows-check/wine.sh prefix                 makes the prefix once
#   bash tools/windows-check/wine.sh run <seconds> <exe> [arguments...]
#   bash tools/windows-check/wine.sh run-display <seconds> <exe> [arguments...]
# Every run is headless (no X driver; run-display gives it one under Xvfb), has
# Wine's own mscoree and mshtml switched off so no installer is offered, and ends
# by <seconds> at the latest.
top_=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEPREFIX=${TESMIRA_WINEPREFIX:-$top_/build-windows/wine-prefix}
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
wine_bin=${TESMIRA_WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
wineserver_bin=${TESMIRA_WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}

wine_overrides() { echo "mscoree,mshtml=;winex11.drv="; }

# Makes the prefix when it is missing; a half-made one (no system.reg) is made anew.
wine_prefix() {
  [[ -x $wine_bin ]] || { echo "wine: $wine_bin not found (packages wine, wine64)" >&2; return 1; }
  [[ -f $WINEPREFIX/system.reg ]] && return 0
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  WINEDLLOVERRIDES="$(wine_overrides)" timeout -k 10 300 "$wine_bin" wineboot --init >/dev/null 2>&1 || true
  timeout -k 5 120 "$wineserver_bin" -w || true
  [[ -f $WINEPREFIX/system.reg ]] || { echo "wine: the prefix $WINEPREFIX was not made" >&2; return 1; }
}

# wine_run <seconds> <exe> [arguments...]: the program's exit code, 124 when it ran
# out of time (it and every process of the prefix are then ended).
wine_run() {
  local seconds=$1
  shift
  local rc=0
  WINEDLLOVERRIDES="$(wine_overrides)" timeout -k 5 "$seconds" "$wine_bin" "$@" || rc=$?
  if ((rc == 124 || rc == 137)); then "$wineserver_bin" -k 2>/dev/null || true; fi
  return "$rc"
}

# wine_run_display <seconds> <exe> [arguments...]: as wine_run, with Wine's X driver
# on a virtual display of its own (xvfb-run).
wine_run_display() {
  local seconds=$1
  shift
  local rc=0
  WINEDLLOVERRIDES="mscoree,mshtml=" timeout -k 5 "$seconds" \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$wine_bin" "$@" || rc=$?
  if ((rc == 124 || rc == 137)); then "$wineserver_bin" -k 2>/dev/null || true; fi
  return "$rc"
}

# Ends every process of the prefix and waits for its server to go.
wine_stop() {
  "$wineserver_bin" -k 2>/dev/null || true
  timeout -k 5 30 "$wineserver_bin" -w 2>/dev/null || true
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -uo pipefail
  case ${1:-} in
    prefix) wine_prefix ;;
    run) shift; wine_prefix && wine_run "$@" ;;
    run-display) shift; wine_prefix && wine_run_display "$@" ;;
    *) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
fi
