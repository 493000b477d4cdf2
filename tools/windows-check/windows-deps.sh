#!/usr/bin/env bash
# The producer's third-party libraries for Windows x64, made once into the cache:
# - OpenCV core, imgproc and imgcodecs, cross-built as static libraries with MinGW-w64
#   from Debian's own source package, with PNG from Debian's libpng source package and
#   zlib from libz-mingw-w64-dev (the dfsg source carries no bundled codecs);
# - ONNX Runtime's Windows x64 DLLs from the pinned npm tarball, checked by hash.
# The build folder is keyed by a hash of its inputs (source packages, compiler, this
# script), so it is built only when one of them changes. Prints two lines on standard
# output, "opencv=<folder>" and "onnxruntime=<folder>"; progress goes to standard error.
#   bash tools/windows-check/windows-deps.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cache=${TESMIRA_CACHE_DIR:-$top/.cache}
jobs=${TESMIRA_JOBS:-4}
((jobs <= 4)) || jobs=4
triple=x86_64-w64-mingw32
cc=${TESMIRA_MINGW_CC:-$triple-gcc-posix}
cxx=${TESMIRA_MINGW_CXX:-$triple-g++-posix}
sysroot=/usr/$triple
root=$cache/windows
say() { echo "windows deps: $*" >&2; }
die() {
  say "$*"
  exit 1
}
sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

# --- ONNX Runtime: the DLLs out of the same tarball fetch-npm.sh pins -----------------
ort_tgz=$cache/npm/com.github.asus4.onnxruntime-0.4.9.tgz
declare -A ort_sha=(
  [onnxruntime.dll]=69d8e6d3879a3b4001cdc74c8ed9ccc7e7f799a5b847059738323404519ec471
  [onnxruntime_providers_shared.dll]=87f6878cdc1f80b3a9afa5b0c84663315030b4957f5bbb6b66470557cb2f48d8
)
ort=$root/onnxruntime-0.4.9
ort_ok() {
  local f
  for f in "${!ort_sha[@]}"; do
    [[ -f $ort/$f && $(sha256_of "$ort/$f") == "${ort_sha[$f]}" ]] || return 1
  done
}
if ! ort_ok; then
  [[ -f $ort_tgz ]] || bash "$top/tools/setup/fetch-npm.sh" >&2
  rm -rf "$ort"
  mkdir -p "$ort"
  for f in "${!ort_sha[@]}"; do
    tar --no-same-owner -xzf "$ort_tgz" -O "package/Plugins/Windows/x64/$f" >"$ort/$f"
    got=$(sha256_of "$ort/$f")
    [[ $got == "${ort_sha[$f]}" ]] || { rm -rf "$ort"; die "$f from $ort_tgz has sha256 $got, expected ${ort_sha[$f]}"; }
  done
fi

# --- OpenCV -----------------------------------------------------------------------
opencv_version=4.6.0+dfsg-12
png_version=1.6.39-2+deb12u5
command -v "$cxx" >/dev/null || die "$cxx not found (package g++-mingw-w64-x86-64-posix)"
[[ -f $sysroot/lib/libz.a && -f $sysroot/include/zlib.h ]] || die "zlib for MinGW is missing (package libz-mingw-w64-dev)"
command -v dpkg-source >/dev/null || die "dpkg-source not found (package dpkg-dev)"

# Debian source packages of the archive the machine already installs from. The deb-src
# entry is a file of our own, written only when it is missing.
src=$root/src
fetch_source() {
  local pkg=$1 version=$2
  ls "$src/${pkg}_${version}.dsc" >/dev/null 2>&1 && return 0
  if ! apt-cache showsrc "$pkg" 2>/dev/null | grep -qx "Version: $version"; then
    local list=/etc/apt/sources.list.d/tesmira-deb-src.sources
    if [[ ! -f $list ]]; then
      local uris suites
      uris=$(grep -h -m1 '^URIs:' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1 | cut -d' ' -f2-)
      suites=$(grep -h -m1 '^Suites:' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1 | cut -d' ' -f2-)
      [[ -n $uris ]] || uris=http://deb.debian.org/debian
      [[ -n $suites ]] || suites="bookworm bookworm-updates"
      say "adding $list (deb-src $uris $suites)"
      local sudo_cmd=()
      [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
      printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$uris" "$suites" | "${sudo_cmd[@]}" tee "$list" >/dev/null
      "${sudo_cmd[@]}" apt-get update -qq >&2
    fi
  fi
  mkdir -p "$src"
  say "apt-get source $pkg=$version"
  (cd "$src" && apt-get source --download-only -qq "$pkg=$version" >&2 2>/dev/null) ||
    die "'apt-get source $pkg=$version' failed (is a deb-src entry for the Debian archive present?)"
}
fetch_source opencv "$opencv_version"
fetch_source libpng1.6 "$png_version"

key=$( {
  cat "$src/opencv_$opencv_version.dsc" "$src/libpng1.6_$png_version.dsc" "$0"
  dpkg-query -W -f='${Version}\n' libz-mingw-w64-dev mingw-w64-x86-64-dev 2>/dev/null || true
  "$cxx" --version | head -n1
} | sha256sum | cut -c1-16)
prefix=$root/opencv-4.6.0-$key
if [[ ! -f $prefix/.complete ]]; then
  start=$SECONDS
  work=$top/build-windows/deps
  rm -rf "$work" "$prefix"
  mkdir -p "$work"
  # dpkg-source checks the tarballs against the .dsc and applies Debian's patches.
  dpkg-source -x "$src/opencv_$opencv_version.dsc" "$work/opencv" >"$work/source.log" 2>&1 &&
    dpkg-source -x "$src/libpng1.6_$png_version.dsc" "$work/libpng" >>"$work/source.log" 2>&1 ||
    die "unpacking the source packages failed ($work/source.log)"

  cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER $cc)
set(CMAKE_CXX_COMPILER $cxx)
set(CMAKE_RC_COMPILER $triple-windres)
set(CMAKE_FIND_ROOT_PATH $sysroot $prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
  common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX="$prefix" -Wno-dev)
  say "building libpng $png_version"
  cmake -S "$work/libpng" -B "$work/libpng-build" "${common[@]}" -DPNG_SHARED=OFF -DPNG_STATIC=ON \
    -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DSKIP_INSTALL_PROGRAMS=ON -DSKIP_INSTALL_FILES=ON \
    -DZLIB_INCLUDE_DIR="$sysroot/include" -DZLIB_LIBRARY="$sysroot/lib/libz.a" >"$work/libpng.log" 2>&1 ||
    die "libpng configure failed ($work/libpng.log)"
  ninja -C "$work/libpng-build" -j"$jobs" install >>"$work/libpng.log" 2>&1 || die "libpng build failed ($work/libpng.log)"
  cp "$sysroot/lib/libz.a" "$prefix/lib/libz.a"

  say "building OpenCV $opencv_version (core, imgproc, imgcodecs)"
  # AVX code is left out: MinGW-w64's GCC does not keep the stack 32-byte aligned on
  # Windows x64 (GCC bug 54412), so spilled AVX registers fault at random.
  cmake -S "$work/opencv" -B "$work/opencv-build" "${common[@]}" \
    -DBUILD_LIST=core,imgproc,imgcodecs -DBUILD_SHARED_LIBS=OFF -DBUILD_opencv_world=OFF \
    -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_opencv_apps=OFF -DBUILD_DOCS=OFF \
    -DBUILD_JAVA=OFF -DBUILD_opencv_python3=OFF -DBUILD_opencv_python2=OFF -DOPENCV_GENERATE_PKGCONFIG=OFF \
    -DENABLE_PRECOMPILED_HEADERS=OFF -DINSTALL_CREATE_DISTRIB=OFF \
    -DOPENCV_LIB_INSTALL_PATH=lib -DOPENCV_3P_LIB_INSTALL_PATH=lib -DOPENCV_CONFIG_INSTALL_PATH=lib/cmake/opencv4 \
    -DOPENCV_BIN_INSTALL_PATH=bin -DOPENCV_INCLUDE_INSTALL_PATH=include \
    -DCPU_BASELINE=SSE3 -DCPU_DISPATCH="SSE4_1;SSE4_2;FP16" \
    -DWITH_PNG=ON -DBUILD_PNG=OFF -DBUILD_ZLIB=OFF \
    -DPNG_LIBRARY="$prefix/lib/libpng16.a" -DPNG_PNG_INCLUDE_DIR="$prefix/include" \
    -DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$sysroot/include" \
    -DWITH_JPEG=OFF -DWITH_TIFF=OFF -DWITH_WEBP=OFF -DWITH_OPENJPEG=OFF -DWITH_JASPER=OFF -DWITH_OPENEXR=OFF \
    -DWITH_GDAL=OFF -DWITH_GDCM=OFF -DWITH_IMGCODEC_HDR=ON -DWITH_IMGCODEC_SUNRASTER=ON -DWITH_IMGCODEC_PXM=ON \
    -DWITH_IMGCODEC_PFM=ON -DWITH_IPP=OFF -DWITH_ITT=OFF -DWITH_OPENCL=OFF -DWITH_DIRECTX=OFF -DWITH_EIGEN=OFF \
    -DWITH_LAPACK=OFF -DWITH_PROTOBUF=OFF -DWITH_ADE=OFF -DWITH_QUIRC=OFF -DWITH_FFMPEG=OFF -DWITH_DSHOW=OFF \
    -DWITH_MSMF=OFF -DWITH_WIN32UI=OFF -DWITH_GTK=OFF -DWITH_QT=OFF -DWITH_VTK=OFF -DWITH_OPENGL=OFF \
    -DWITH_TBB=OFF -DWITH_OPENMP=OFF -DWITH_VA=OFF -DWITH_VA_INTEL=OFF -DWITH_OPENVX=OFF -DWITH_CUDA=OFF \
    -DWITH_1394=OFF -DWITH_GSTREAMER=OFF -DWITH_V4L=OFF -DWITH_OBSENSOR=OFF -DWITH_CAROTENE=OFF \
    >"$work/opencv.log" 2>&1 || die "OpenCV configure failed ($work/opencv.log)"
  ninja -C "$work/opencv-build" -j"$jobs" install >>"$work/opencv.log" 2>&1 || die "OpenCV build failed ($work/opencv.log)"
  for lib in opencv_imgcodecs opencv_imgproc opencv_core; do
    ls "$prefix"/lib/lib"$lib"*.a >/dev/null 2>&1 || die "OpenCV install lacks lib$lib ($work/opencv.log)"
  done
  echo "$((SECONDS - start))" >"$prefix/.build-seconds"
  touch "$prefix/.complete"
  rm -rf "$work"
  say "OpenCV for Windows built in $((SECONDS - start)) s into $prefix"
fi
echo "opencv=$prefix"
echo "onnxruntime=$ort"
