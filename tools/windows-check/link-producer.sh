#!/usr/bin/env bash
# Links the producer, tesmira_windows_retouch_vcam_producer.exe, with MinGW-w64 against
# OpenCV cross-built from Debian's source (static) and ONNX Runtime's Windows DLL from
# the pinned tarball (both from windows-deps.sh). The runtime is static too, so the
# executable imports system DLLs and onnxruntime.dll only; the ONNX Runtime DLLs are
# copied beside it.
#   bash tools/windows-check/link-producer.sh [folder]   (default build-windows/pe)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
cxx=${TESMIRA_MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
out=${1:-$top/build-windows/pe}
jobs=${TESMIRA_JOBS:-4}
launcher=()
command -v ccache >/dev/null && launcher=(ccache)

deps=$(bash tools/windows-check/windows-deps.sh)
opencv=$(sed -n 's/^opencv=//p' <<<"$deps")
ort=$(sed -n 's/^onnxruntime=//p' <<<"$deps")
ort_headers=$top/.cache/onnxruntime/include
[[ -f $ort_headers/onnxruntime_cxx_api.h ]] || bash tools/setup/fetch-npm.sh >&2

# Only the third-party headers the product includes, never a Linux system folder.
inc=$out/producer-include
rm -rf "$inc"
mkdir -p "$inc"
ln -s /usr/include/nlohmann "$inc/nlohmann"
for h in "$ort_headers"/*.h; do ln -s "$(readlink -f "$h")" "$inc/$(basename "$h")"; done

obj=$out/obj-producer
mkdir -p "$obj"
# The compositor's kernels as text, as the CMake build embeds them.
cmake -DDIR="$top/producer/engine/shaders" -DOUT="$obj/compositor_shaders.cpp" \
  -P producer/engine/shaders/embed_shaders.cmake
sources=(producer/*.cpp producer/telemetry/*.cpp producer/engine/*.cpp common/*.cpp "$obj/compositor_shaders.cpp")
printf '%s\n' -std=c++20 -O2 -DNDEBUG -DUNICODE -D_UNICODE -Wall -Wno-unknown-pragmas \
  -ffunction-sections -fdata-sections "-I$top" "-isystem$opencv/include" "-isystem$inc" >"$out/producer-flags.rsp"
# A source's object mirrors its path under $obj; a generated source's lies beside it.
object_of() { if [[ $1 == /* ]]; then echo "${1%.cpp}.o"; else echo "$obj/${1%.cpp}.o"; fi; }
export -f object_of
export obj
printf '%s\n' "${sources[@]}" | xargs -P "$jobs" -I{} bash -c '
  o=$(object_of "$3")
  mkdir -p "$(dirname "$o")"
  "${@:4}" "$2" "@$obj/../producer-flags.rsp" -c "$3" -o "$o" || { echo "windows link: $3 does not compile" >&2; exit 255; }
' _ "$cxx" "$cxx" {} "${launcher[@]}"
objects=()
for s in "${sources[@]}"; do objects+=("$(object_of "$s")"); done

exe=$out/tesmira_windows_retouch_vcam_producer.exe
# ld links straight against the DLL's export table; no import library is needed.
"$cxx" -o "$exe" "${objects[@]}" \
  "$opencv/lib/libopencv_imgcodecs460.a" "$opencv/lib/libopencv_imgproc460.a" "$opencv/lib/libopencv_core460.a" \
  "$opencv/lib/libpng16.a" "$opencv/lib/libz.a" "$ort/onnxruntime.dll" \
  -static -static-libgcc -static-libstdc++ -Wl,--gc-sections -s \
  -ld3d11 -ldxgi -ld3dcompiler_47 -ldxguid -lmfplat -lmf -lmfreadwrite -lmfuuid -lwinhttp -lbcrypt -lole32 \
  -loleaut32 -ladvapi32 -luser32 -lgdi32 -lshell32 -lshlwapi -lversion -lwinmm -luuid -lksguid
cp "$ort/onnxruntime.dll" "$ort/onnxruntime_providers_shared.dll" "$out/"
echo "windows link: $exe"
