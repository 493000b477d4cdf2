#!/usr/bin/env bash
# Links, with MinGW-w64 against the system import libraries, the deliverables as PE
# files: tesmira_windows_vcam_source.dll (exports from its .def), tesmira_agent.exe,
# tesmira_windows_vcam_service.exe and tesmira_vcam_launcher.exe (its manifest
# compiled in with windres). The producer, which needs OpenCV and ONNX Runtime for
# Windows, is linked by link-producer.sh beside this script when that exists. The
# runtime (libstdc++, libgcc, winpthread) is linked statically, so the binaries need
# only system DLLs.
#   bash tools/windows-check/link.sh [folder]   (default build-windows/pe)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
cxx=${TESMIRA_MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
windres=${TESMIRA_MINGW_WINDRES:-x86_64-w64-mingw32-windres}
out=${1:-$top/build-windows/pe}
jobs=${TESMIRA_JOBS:-$(nproc)}
launcher=()
command -v ccache >/dev/null && launcher=(ccache)

common=(common/*.cpp)
# The HTTPS client goes only into the binaries that link WinHTTP (the service tool here,
# the producer in link-producer.sh).
mapfile -t common_offline < <(printf '%s\n' "${common[@]}" | grep -vx 'common/https_client\.cpp')
# vcam_source/pe holds what only the Windows link takes (run-time resolved imports).
dll_sources=(vcam_source/*.cpp vcam_source/pe/*.cpp "${common_offline[@]}")
agent_sources=(agent/*.cpp "${common_offline[@]}")
service_sources=(service/*.cpp service/updater/*.cpp "${common[@]}")
launcher_sources=(launcher/*.cpp "${common_offline[@]}")

mkdir -p "$out/obj"
# Header-only third-party code (nlohmann json, for the updater) from a folder of its own.
bash tools/windows-check/third-party.sh "$out/third-party"
printf '%s\n' -std=c++20 -O2 -DNDEBUG -DUNICODE -D_UNICODE -Wall -Wno-unknown-pragmas \
  -ffunction-sections -fdata-sections "-I$top" "-idirafter$out/third-party" >"$out/flags.rsp"
# Each source once, in parallel; its object path mirrors the source path.
printf '%s\n' "${dll_sources[@]}" "${agent_sources[@]}" "${service_sources[@]}" "${launcher_sources[@]}" |
  sort -u | xargs -P "$jobs" -I{} bash -c '
  obj="$3/obj/${4%.cpp}.o"
  mkdir -p "$(dirname "$obj")"
  "${@:5}" "$2" "@$3/flags.rsp" -c "$4" -o "$obj" || { echo "windows link: $4 does not compile" >&2; exit 255; }
' _ "$cxx" "$cxx" "$out" {} "${launcher[@]}"
objects() { for s in "$@"; do echo "$out/obj/${s%.cpp}.o"; done; }

# Stripped: no symbol table ships (it is two thirds of each file).
runtime=(-static -static-libgcc -static-libstdc++ -Wl,--gc-sections -s)
system=(-lole32 -loleaut32 -ladvapi32 -lgdi32 -luser32 -lshell32 -lshlwapi -luuid)
# No -lmfsensorgroup: the DLL resolves those functions when it first needs them.
mapfile -t dll_objects < <(objects "${dll_sources[@]}")
"$cxx" -shared -o "$out/tesmira_windows_vcam_source.dll" "${dll_objects[@]}" \
  vcam_source/tesmira_windows_vcam_source.def "${runtime[@]}" \
  -lmfplat -lmf -lmfreadwrite -lmfuuid "${system[@]}" -lksguid
mapfile -t agent_objects < <(objects "${agent_sources[@]}")
"$cxx" -mwindows -municode -o "$out/tesmira_agent.exe" "${agent_objects[@]}" "${runtime[@]}" \
  -lmfplat -lmf -lmfreadwrite -lmfuuid "${system[@]}" -lversion
mapfile -t service_objects < <(objects "${service_sources[@]}")
"$cxx" -municode -o "$out/tesmira_windows_vcam_service.exe" "${service_objects[@]}" "${runtime[@]}" \
  -lmfplat -lmf -lmfreadwrite -lmfuuid "${system[@]}" -lwinhttp -lwintrust -lcrypt32 -lbcrypt -lwtsapi32 -luserenv \
  -lversion
"$windres" -I launcher launcher/tesmira_vcam_launcher.rc -O coff -o "$out/obj/launcher/tesmira_vcam_launcher.res.o"
mapfile -t launcher_objects < <(objects "${launcher_sources[@]}")
"$cxx" -mwindows -municode -o "$out/tesmira_vcam_launcher.exe" "${launcher_objects[@]}" \
  "$out/obj/launcher/tesmira_vcam_launcher.res.o" "${runtime[@]}" \
  -lmfplat -lmf -lmfreadwrite -lmfuuid "${system[@]}" -lcomctl32 -lversion
echo "windows link: $out/tesmira_windows_vcam_source.dll, $out/tesmira_agent.exe," \
  "$out/tesmira_windows_vcam_service.exe, $out/tesmira_vcam_launcher.exe"

# The producer's link brings its own libraries (OpenCV, ONNX Runtime) into $out.
if [[ -f $top/tools/windows-check/link-producer.sh ]]; then
  bash "$top/tools/windows-check/link-producer.sh" "$out"
fi
