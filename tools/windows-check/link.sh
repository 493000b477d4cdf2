#!/usr/bin/env bash
# Links, with MinGW-w64 against the system import libraries, the deliverables whose
# libraries all exist for Windows: tesmira_windows_vcam_source.dll (exports from its
# .def) and tesmira_agent.exe. The producer (OpenCV and ONNX Runtime have no Windows
# build here) stays at the syntax check. The runtime (libstdc++, libgcc, winpthread)
# is linked statically, so the binaries need only system DLLs.
#   bash tools/windows-check/link.sh [folder]   (default build-windows/pe)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
cxx=${TESMIRA_MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
out=${1:-$top/build-windows/pe}
jobs=${TESMIRA_JOBS:-$(nproc)}
launcher=()
command -v ccache >/dev/null && launcher=(ccache)

common=(common/*.cpp)
dll_sources=(vcam_source/*.cpp "${common[@]}")
agent_sources=(agent/*.cpp "${common[@]}")

mkdir -p "$out/obj"
printf '%s\n' -std=c++20 -O2 -DNDEBUG -DUNICODE -D_UNICODE -Wall -Wno-unknown-pragmas \
  -ffunction-sections -fdata-sections "-I$top" >"$out/flags.rsp"
# Each source once, in parallel; its object path mirrors the source path.
printf '%s\n' "${dll_sources[@]}" "${agent_sources[@]}" | sort -u | xargs -P "$jobs" -I{} bash -c '
  obj="$3/obj/${4%.cpp}.o"
  mkdir -p "$(dirname "$obj")"
  "${@:5}" "$2" "@$3/flags.rsp" -c "$4" -o "$obj" || { echo "windows link: $4 does not compile" >&2; exit 255; }
' _ "$cxx" "$cxx" "$out" {} "${launcher[@]}"
objects() { for s in "$@"; do echo "$out/obj/${s%.cpp}.o"; done; }

runtime=(-static -static-libgcc -static-libstdc++ -Wl,--gc-sections)
mapfile -t dll_objects < <(objects "${dll_sources[@]}")
"$cxx" -shared -o "$out/tesmira_windows_vcam_source.dll" "${dll_objects[@]}" \
  vcam_source/tesmira_windows_vcam_source.def "${runtime[@]}" \
  -lmfplat -lmf -lmfreadwrite -lmfsensorgroup -lmfuuid -lole32 -loleaut32 -ladvapi32 -lgdi32 -luser32 \
  -lshell32 -lshlwapi -luuid -lksguid
mapfile -t agent_objects < <(objects "${agent_sources[@]}")
"$cxx" -mwindows -municode -o "$out/tesmira_agent.exe" "${agent_objects[@]}" "${runtime[@]}" \
  -lmfplat -lmf -lmfreadwrite -lmfuuid -lole32 -loleaut32 -ladvapi32 -lgdi32 -luser32 -lshell32 -lshlwapi -lversion -luuid
echo "windows link: $out/tesmira_windows_vcam_source.dll, $out/tesmira_agent.exe"
