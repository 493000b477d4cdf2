#!/usr/bin/env bash
# Every product source compiles as Windows code: syntax only, with MinGW-w64's g++
# (the posix thread model, for std::thread) against its own Windows headers, and
# never against platform/include or /usr/include. Third-party headers come from a
# folder that holds only them.
#   bash tools/windows-check/run.sh [files...]   (default: every product .cpp)
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
cxx=${TESMIRA_MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
out=${TESMIRA_WINDOWS_CHECK_DIR:-$top/build-windows/check}
jobs=${TESMIRA_JOBS:-$(nproc)}

if ! command -v "$cxx" >/dev/null; then
  echo "windows check: $cxx not found (packages g++-mingw-w64-x86-64-posix, mingw-w64-x86-64-dev)" >&2
  exit 1
fi

bash tools/windows-check/third-party.sh "$out/third-party" || exit 1

if (($#)); then
  files=("$@")
else
  # Product code is every source outside the layer, tests, tools and benchmarks, so
  # a new product folder is checked as soon as it exists.
  mapfile -t files < <(git ls-files -co --exclude-standard -- '*.cpp' |
    grep -vE '^(platform|tests|tools|bench|third_party)/|(^|/)(tests?|bench)/' | sort)
fi
((${#files[@]})) || { echo "windows check: no product sources"; exit 0; }

mkdir -p "$out/logs"
rm -f "$out"/logs/*.log "$out/failed"
# -nostdinc++ is not wanted: MinGW's own libstdc++ is the one Windows code gets.
printf '%s\n' -std=c++20 -fsyntax-only -DUNICODE -D_UNICODE -Wall -Wno-unknown-pragmas \
  "-I$top" "-idirafter$out/third-party" >"$out/flags.rsp"

printf '%s\n' "${files[@]}" | xargs -P "$jobs" -I{} bash -c '
  log="$2/logs/$(tr / _ <<<"$3").log"
  "$1" "@$2/flags.rsp" "$3" >"$log" 2>&1 && rm -f "$log" || echo "$3" >>"$2/failed"
' _ "$cxx" "$out" {}

if [[ ! -s $out/failed ]]; then
  echo "windows check: ${#files[@]} product sources compile as Windows code"
  exit 0
fi
sort -o "$out/failed" "$out/failed"
while read -r file; do
  log="$out/logs/$(tr / _ <<<"$file").log"
  first=$(grep -m1 -E '(fatal )?error:' "$log" || head -n1 "$log")
  echo "windows check: $file: $first"
done <"$out/failed"
echo "windows check: $(wc -l <"$out/failed") of ${#files[@]} product sources fail (logs in $out/logs)"
exit 1
