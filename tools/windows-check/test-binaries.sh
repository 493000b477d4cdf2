#!/usr/bin/env bash
# test-binaries.sh [folder]: checks the PE binaries that link.sh made (default
# build-windows/pe). One line per case, "passed: <case>" or "failed: <case>: <why>";
# exits non-zero when any case failed.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
dir=${1:-$top/build-windows/pe}
objdump=${TESMIRA_MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}
dll=$dir/tesmira_windows_vcam_source.dll
agent=$dir/tesmira_agent.exe
def=$top/vcam_source/tesmira_windows_vcam_source.def
failures=0

result() {  # result <case> <why, empty when it passed>
  if [[ -z $2 ]]; then
    echo "passed: $1"
  else
    echo "failed: $1: $2"
    failures=$((failures + 1))
  fi
}
headers() { "$objdump" -p "$1" 2>/dev/null; }
# The names in the export table, sorted, one a line.
exports() {
  headers "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -nE 's/^\s*\[\s*[0-9]+\]\s+([A-Za-z_][A-Za-z0-9_@]*)\s*$/\1/p' | sort
}
imported_dlls() { headers "$1" | sed -nE 's/^\s*DLL Name: (.*)$/\1/p'; }
imported_functions() { headers "$1" | sed -nE 's/^\s+[0-9a-f]+\s+[0-9]+\s+([A-Za-z_][A-Za-z0-9_]*)$/\1/p'; }

expect_equal() {  # expect_equal <case> <want> <got>
  local got
  got=$(tr '\n' ' ' <<<"$3")
  ((${#got} <= 200)) || got="${got:0:200}..."
  if [[ $2 == "$3" ]]; then result "$1" ""; else result "$1" "want [$(tr '\n' ' ' <<<"$2")] got [$got]"; fi
}

for binary in "$dll" "$agent"; do
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
  expect_equal "$name imports only system DLLs" "" "$runtime"
  # Windows builds before 22000 lack MFCreateVirtualCamera: it is loaded at run time,
  # so the binary still loads there.
  early=$(imported_functions "$binary" | grep -xE 'MFCreateVirtualCamera' || true)
  expect_equal "$name loads MFCreateVirtualCamera at run time" "" "$early"
  # ASLR and DEP, which Windows applies only to images that ask for them.
  dllchars=$(headers "$binary" | sed -nE 's/^DllCharacteristics\s+([0-9a-f]+).*/\1/p')
  hardening=""
  ((dllchars && (16#$dllchars & 0x0040) && (16#$dllchars & 0x0100))) ||
    hardening="DllCharacteristics 0x${dllchars:-none} lack DYNAMIC_BASE (0x40) or NX_COMPAT (0x100)"
  result "$name is built for ASLR and DEP" "$hardening"
done

if [[ -f $dll ]]; then
  declared=$(sed -n '/^EXPORTS/,/^[A-Z]/p' "$def" | sed -nE 's/^\s+([A-Za-z_][A-Za-z0-9_]*).*/\1/p' | sort)
  expect_equal "the .def declares exactly the two COM entry points" $'DllCanUnloadNow\nDllGetClassObject' "$declared"
  expect_equal "the DLL exports exactly the two COM entry points" $'DllCanUnloadNow\nDllGetClassObject' "$(exports "$dll")"
  characteristics=$(headers "$dll" | sed -nE 's/^Characteristics\s+0x([0-9a-f]+).*/\1/p')
  dll_flag=""
  ((characteristics && (16#$characteristics & 0x2000))) || dll_flag="image characteristics 0x$characteristics lack IMAGE_FILE_DLL"
  result "the media source is a DLL" "$dll_flag"
fi
if [[ -f $agent ]]; then
  subsystem=$(headers "$agent" | sed -nE 's/^Subsystem\s+[0-9a-f]+\s+\((.*)\)$/\1/p')
  expect_equal "the agent runs in the Windows subsystem (no console)" "Windows GUI" "$subsystem"
  expect_equal "the agent exports nothing" "" "$(exports "$agent")"
fi
((failures == 0))
