#!/usr/bin/env bash
# test-binaries.sh [folder]: checks the PE binaries that link.sh made (default
# build-windows/pe). One line per case, "passed: <case>" or "failed: <case>: <why>";
# exits non-zero when any case failed.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
dir=${1:-$top/build-windows/pe}
objdump=${TESMIRA_MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}
windres=${TESMIRA_MINGW_WINDRES:-x86_64-w64-mingw32-windres}
dll=$dir/tesmira_windows_vcam_source.dll
agent=$dir/tesmira_agent.exe
service=$dir/tesmira_windows_vcam_service.exe
launcher=$dir/tesmira_vcam_launcher.exe
# Linked by link-producer.sh where that exists; checked as the others once it is there.
producer=$dir/tesmira_windows_retouch_vcam_producer.exe
def=$top/vcam_source/tesmira_windows_vcam_source.def
failures=0

# shellcheck source=result.sh
source "$top/tools/windows-check/result.sh"
headers() { "$objdump" -p "$1" 2>/dev/null; }
# The names in the export table, sorted, one a line.
exports() {
  headers "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -nE 's/^\s*\[\s*[0-9]+\]\s+([A-Za-z_][A-Za-z0-9_@]*)\s*$/\1/p' | sort
}
imported_dlls() { headers "$1" | sed -nE 's/^\s*DLL Name: (.*)$/\1/p'; }
imported_functions() { headers "$1" | sed -nE 's/^\s+[0-9a-f]+\s+[0-9]+\s+([A-Za-z_][A-Za-z0-9_]*)$/\1/p'; }

# DLLs that every Windows 10 and 11 machine has (the producer may also ship its own
# beside it: onnxruntime*.dll and opencv_*.dll).
system_dlls='^(advapi32|bcrypt|comctl32|crypt32|d3d11|d3dcompiler_47|dxgi|gdi32|kernel32|mf|mfplat|mfreadwrite|msvcrt|ole32|oleaut32|shell32|shlwapi|user32|userenv|version|winhttp|winmm|wintrust|wtsapi32|ws2_32)\.dll$'
binaries=("$dll" "$agent" "$service" "$launcher")
[[ -f $producer || -f $top/tools/windows-check/link-producer.sh ]] && binaries+=("$producer")
for binary in "${binaries[@]}"; do
  name=$(basename "$binary")
  if [[ ! -f $binary ]]; then
    result "$name exists" "not built (run tools/windows-check/link.sh)"
    continue
  fi
  format=$(headers "$binary" | sed -nE 's/.*file format (.*)$/\1/p' | head -n1)
  expect_equal "$name is a 64-bit PE image" "pei-x86-64" "$format"
  # A MinGW runtime DLL (libstdc++-6.dll, libwinpthread-1.dll, ...) is on no Windows
  # machine; the runtime is linked in.
  runtime=$(imported_dlls "$binary" | grep -iE '^lib|mingw|cygwin' || true)
  expect_equal "$name imports no MinGW runtime DLL" "" "$runtime"
  shipped=''
  [[ $binary == "$producer" ]] && shipped='|^onnxruntime[a-z_]*\.dll$|^opencv_[a-z0-9_]+\.dll$'
  foreign=$(imported_dlls "$binary" | tr 'A-Z' 'a-z' | grep -vE "$system_dlls$shipped" || true)
  expect_equal "$name imports only system DLLs" "" "$foreign"
  # Windows builds before 22000 lack MFCreateVirtualCamera: it is loaded at run time,
  # so the binary still loads there.
  early=$(imported_functions "$binary" | grep -xE 'MFCreateVirtualCamera' || true)
  expect_equal "$name loads MFCreateVirtualCamera at run time" "" "$early"
  # ASLR and DEP, which Windows applies only to images that ask for them.
  dllchars=$(headers "$binary" | sed -nE 's/^DllCharacteristics\s+([0-9a-f]+).*/\1/p')
  hardening=""
  ((16#${dllchars:-0} & 0x0040 && 16#${dllchars:-0} & 0x0100)) ||
    hardening="DllCharacteristics 0x${dllchars:-none} lack DYNAMIC_BASE (0x40) or NX_COMPAT (0x100)"
  result "$name is built for ASLR and DEP" "$hardening"
done

if [[ -f $dll ]]; then
  declared=$(sed -n '/^EXPORTS/,/^[A-Z]/p' "$def" | sed -nE 's/^\s+([A-Za-z_][A-Za-z0-9_]*).*/\1/p' | sort)
  expect_equal "the .def declares exactly the two COM entry points" $'DllCanUnloadNow\nDllGetClassObject' "$declared"
  expect_equal "the DLL exports exactly the two COM entry points" $'DllCanUnloadNow\nDllGetClassObject' "$(exports "$dll")"
  characteristics=$(headers "$dll" | sed -nE 's/^Characteristics\s+0x([0-9a-f]+).*/\1/p')
  dll_flag=""
  ((16#${characteristics:-0} & 0x2000)) || dll_flag="image characteristics 0x$characteristics lack IMAGE_FILE_DLL"
  result "the media source is a DLL" "$dll_flag"
fi
if [[ -f $dll ]]; then
  # mfsensorgroup.dll is missing before Windows 10 1809 and in other Media
  # Foundation implementations; the DLL must load there all the same.
  sensor=$(imported_dlls "$dll" | grep -ix 'mfsensorgroup.dll' || true)
  expect_equal "the media source loads mfsensorgroup.dll at run time" "" "$sensor"
fi
if [[ -f $producer ]]; then
  subsystem=$(headers "$producer" | sed -nE 's/^Subsystem\s+[0-9a-f]+\s+\((.*)\)$/\1/p')
  expect_equal "the producer is a console program" "Windows CUI" "$subsystem"
  expect_equal "the producer imports onnxruntime.dll" "onnxruntime.dll" "$(imported_dlls "$producer" | grep -ix onnxruntime.dll)"
  for f in onnxruntime.dll onnxruntime_providers_shared.dll; do
    [[ -f $dir/$f ]] && result "$f lies beside the producer" "" || result "$f lies beside the producer" "missing in $dir"
  done
fi
if [[ -f $agent ]]; then
  subsystem=$(headers "$agent" | sed -nE 's/^Subsystem\s+[0-9a-f]+\s+\((.*)\)$/\1/p')
  expect_equal "the agent runs in the Windows subsystem (no console)" "Windows GUI" "$subsystem"
  expect_equal "the agent exports nothing" "" "$(exports "$agent")"
fi
for tool in "$service" "$launcher"; do
  [[ -f $tool ]] || continue
  expect_equal "$(basename "$tool") exports nothing" "" "$(exports "$tool")"
done
if [[ -f $service ]]; then
  subsystem=$(headers "$service" | sed -nE 's/^Subsystem\s+[0-9a-f]+\s+\((.*)\)$/\1/p')
  expect_equal "the service tool is a console program" "Windows CUI" "$subsystem"
fi
if [[ -f $launcher ]]; then
  subsystem=$(headers "$launcher" | sed -nE 's/^Subsystem\s+[0-9a-f]+\s+\((.*)\)$/\1/p')
  expect_equal "the launcher runs in the Windows subsystem (no console)" "Windows GUI" "$subsystem"
  # The process manifest is resource type 24 (RT_MANIFEST), name 1.
  manifest=$("$windres" -J coff -i "$launcher" -O rc 2>/dev/null | sed -n '/^1 24 /,/^END/p' | tr -d '"')
  for check in "requests requireAdministrator|requestedExecutionLevel level=requireAdministrator" \
    "declares per-monitor DPI awareness|<dpiAwareness [^>]*>PerMonitorV2" \
    "depends on common controls 6|name=Microsoft.Windows.Common-Controls version=6.0.0.0"; do
    grep -qE "${check#*|}" <<<"$manifest" && result "the launcher's manifest ${check%%|*}" "" ||
      result "the launcher's manifest ${check%%|*}" "/${check#*|}/ is not in its RT_MANIFEST resource 1"
  done
fi
((failures == 0))
