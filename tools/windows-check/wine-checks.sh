#!/usr/bin/env bash
# wine-checks.sh [folder]: runs the PE deliverables that link.sh made (default
# build-windows/pe) under Wine 8, headless, each run under a time limit: a client of
# ours drives the media source DLL through its exports; the agent starts and stops
# a stand-in producer on demand; the service tool answers --help and list-cameras;
# the launcher's window opens under Xvfb; then test-producer.sh beside this script,
# when it exists, checks the producer. One line per case, "passed: <case>" or
# "failed: <case>: <why>"; non-zero when any case failed.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
pe=${1:-$top/build-windows/pe}
work=$top/build-windows/wine
cxx=${TESMIRA_MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
# shellcheck source=wine.sh
source "$top/tools/windows-check/wine.sh"
failures=0
began=$SECONDS

# shellcheck source=result.sh
source "$top/tools/windows-check/result.sh"
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }
# Runs a client of ours; its own lines, with "under Wine" added to each case. A run
# that ends early (a crash, the time limit) says so in a line of its own.
client() {  # client <seconds> <what> <exe> [arguments...]
  local seconds=$1 what=$2 rc
  shift 2
  local log=$work/${what// /-}
  "${runner:-wine_run}" "$seconds" "$@" 2>"$log.stderr" | sed -uE 's/^(passed|failed): /\1: under Wine: /' | tee "$log.out"
  rc=${PIPESTATUS[0]}
  if ((rc == 124 || rc == 137)); then
    result "under Wine: the $what checks end in time" "ran out of ${seconds} s"
  elif ((rc != 0)) && ! grep -q '^failed: ' "$log.out"; then
    result "under Wine: the $what checks run to the end" "exit $rc, stderr in $log.stderr"
  elif ((rc != 0)); then
    failures=$((failures + 1))
  fi
}

prefix_began=$SECONDS
made=no
[[ -f $WINEPREFIX/system.reg ]] || made=yes
if ! wine_prefix; then
  result "the Wine prefix is made" "wine_prefix failed (packages wine, wine64)"
  exit 1
fi
[[ $made == yes ]] && echo "wine checks: prefix made in $((SECONDS - prefix_began)) s ($WINEPREFIX)"

# The test programs, with the same MinGW-w64 as the deliverables.
built_from=$SECONDS
mkdir -p "$work/bin" "$work/agent"
flags=(-std=c++20 -O1 -DUNICODE -D_UNICODE -municode -Wall -Wno-unknown-pragmas "-I$top" -static -static-libgcc -static-libstdc++)
build() {  # build <name> <libraries...>
  "$cxx" "${flags[@]}" "tools/windows-check/wine/$1.cpp" -o "$work/bin/$1.exe" "${@:2}" >"$work/$1.build.log" 2>&1 ||
    { result "the Windows test program $1 builds" "$(grep -m1 error "$work/$1.build.log")"; return 1; }
}
build vcam_client -lmfplat -lmf -lmfuuid -lole32 -loleaut32 -luuid &
build programs_client -ladvapi32 &
build stand_in_producer &
for job in $(jobs -p); do wait "$job" || failures=$((failures + 1)); done
echo "wine checks: test programs built in $((SECONDS - built_from)) s"

if [[ -f $pe/tesmira_windows_vcam_source.dll && -f $work/bin/vcam_client.exe ]]; then
  client 120 "media source" "$work/bin/vcam_client.exe" "$(windows_path "$pe/tesmira_windows_vcam_source.dll")"
fi

# The agent in a folder of its own, with the stand-in as its producer.
if [[ -f $pe/tesmira_agent.exe && -f $work/bin/programs_client.exe ]]; then
  cp "$pe/tesmira_agent.exe" "$work/agent/"
  cp "$work/bin/stand_in_producer.exe" "$work/agent/tesmira_windows_retouch_vcam_producer.exe"
  client 60 agent "$work/bin/programs_client.exe" agent "$(windows_path "$work/agent/tesmira_agent.exe")"
fi

service=$pe/tesmira_windows_vcam_service.exe
if [[ -f $service ]]; then
  rc=0
  help=$(wine_run 30 "$service" --help 2>"$work/service-help.stderr" | tr -d '\r') || rc=$?
  ((rc == 0)) && result "under Wine: the service tool's --help exits 0" "" ||
    result "under Wine: the service tool's --help exits 0" "exit $rc"
  want=$(cat <<'TEXT'
Tesmira Windows virtual camera service

Commands:
  install          Register COM, create/start vcam, install the auto-start broker service
  ensure           Register COM and create/start the vcam once
  run-service      Internal SCM entry point (broker: owns shared IPC objects, re-ensures vcam)
  remove-vcam      Remove the Windows 11 virtual camera
  uninstall        Stop/delete service, remove vcam, unregister COM
  list-cameras     List physical cameras visible to Media Foundation
  list-cameras-raw Machine-readable raw enumeration (index<TAB>tesmira<TAB>name)
  update-check     Fetch the release manifest; download + verify a newer installer
                   into %ProgramData%\Tesmira\Updates (writes status.json)
  update-apply     Re-verify and silently run the staged installer (elevated;
                   defers while an app is using the Tesmira camera)
  relaunch-agent   Start tesmira_agent.exe in active user sessions (SYSTEM only)

Options:
  --media-source-dll <path>   Path to tesmira_windows_vcam_source.dll
  --producer-exe <path>       Optional retouch producer executable
  --producer-repo-root <path> Repo/assets root passed to the producer
  --producer-camera-index <n> Camera index passed to the producer (default 0)
  --current-user              Register vcam for current user only
  --all-users                 Register vcam for all users (default, admin required)
  --manifest-url <url>        Update feed override (HTTPS; testing/staging)
  --src <name>                Update telemetry source tag: task|studio|manual
  --interactive               update-apply: relaunch Studio after the install
  --allow-unsigned            update: skip Authenticode (local testing only)
  --installed-version <v>     update: override the installed version (testing only)

Update exit codes: 0 ok, 11 camera-in-use, 12 network, 13 verify failed,
  14 needs elevation, 15 nothing staged, 16 updater already running
TEXT
)
  first=$(diff <(echo "$want") <(echo "$help") | sed -n '2p')
  result "under Wine: the service tool prints its help text" "${first:+first difference: $first}"
  # Wine has no capture devices: nothing to list, exit 1.
  rc=0
  cameras=$(wine_run 30 "$service" list-cameras 2>"$work/service-cameras.stderr") || rc=$?
  ((rc == 1)) && [[ -z $cameras ]] && result "under Wine: list-cameras without a camera prints nothing and exits 1" "" ||
    result "under Wine: list-cameras without a camera prints nothing and exits 1" "exit $rc, printed [${cameras:0:200}]"
fi

launcher=$pe/tesmira_vcam_launcher.exe
if [[ -f $launcher && -f $work/bin/programs_client.exe ]]; then
  client 30 "launcher manifest" "$work/bin/programs_client.exe" manifest "$(windows_path "$launcher")"
  # The window needs Wine's X driver, on a virtual display.
  if command -v xvfb-run >/dev/null; then
    wine_stop
    runner=wine_run_display client 90 "launcher window" "$work/bin/programs_client.exe" window \
      "$(windows_path "$launcher")"
  else
    result "under Wine: the launcher's window opens" "xvfb-run not found (package xvfb)"
  fi
fi
# The producer's own checks under Wine, beside its link (link-producer.sh); they
# share this prefix and runner (wine.sh).
if [[ -f $top/tools/windows-check/test-producer.sh ]]; then
  wine_stop
  bash "$top/tools/windows-check/test-producer.sh" "$pe" || failures=$((failures + 1))
fi
wine_stop
echo "wine checks: $((SECONDS - began)) s"
((failures == 0))
