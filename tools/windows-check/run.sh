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

# MinGW-w64 also ships POSIX headers that the Windows SDK lacks, so compiling alone
# would let them through: product files (and their own headers) must not include them.
posix='^\s*#\s*include\s*[<"](unistd\.h|pthread[a-z_]*\.h|dirent\.h|libgen\.h|sched\.h|semaphore\.h|strings\.h|sys/(cdefs|file|param|time|unistd)\.h)[>"]'
if (($#)); then
  scanned=("${files[@]}")
else
  mapfile -t scanned < <(git ls-files -co --exclude-standard -- '*.cpp' '*.h' '*.hpp' |
    grep -vE '^(platform|tests|tools|bench|third_party)/|(^|/)(tests?|bench)/' | sort)
fi
posix_hits=$(grep -HnE "$posix" "${scanned[@]}" || true)

mkdir -p "$out/logs"
rm -f "$out"/logs/*.log "$out/failed"
printf '%s\n' -std=c++20 -fsyntax-only -DUNICODE -D_UNICODE -Wall -Wno-unknown-pragmas \
  "-I$top" "-idirafter$out/third-party" >"$out/flags.rsp"

printf '%s\n' "${files[@]}" | xargs -P "$jobs" -I{} bash -c '
  log="$2/logs/$(tr / _ <<<"$3").log"
  "$1" "@$2/flags.rsp" "$3" >"$log" 2>&1 && rm -f "$log" || echo "$3" >>"$2/failed"
' _ "$cxx" "$out" {}

while IFS=: read -r file line text; do
  [[ -n $file ]] || continue
  echo "windows check: $file: $file:$line: error: POSIX header, not in the Windows SDK: $(sed -E 's/^\s+//' <<<"$text")"
done <<<"$posix_hits"
if [[ ! -s $out/failed && -z $posix_hits ]]; then
  echo "windows check: ${#files[@]} product sources compile as Windows code"
  exit 0
fi
[[ -s $out/failed ]] || { echo "windows check: POSIX headers in product code"; exit 1; }
sort -o "$out/failed" "$out/failed"
while read -r file; do
  log="$out/logs/$(tr / _ <<<"$file").log"
  first=$(grep -m1 -E '(fatal )?error:' "$log" || head -n1 "$log")
  echo "windows check: $file: $first"
done <"$out/failed"
echo "windows check: $(wc -l <"$out/failed") of ${#files[@]} product sources fail (logs in $out/logs)"
exit 1
