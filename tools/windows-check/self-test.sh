#!/usr/bin/env bash
# self-test.sh: the Windows check itself, on small sources written here: it must pass
# Windows code and fail Linux habits, each with its file and the first error. One line
# per case, "passed: <case>" or "failed: <case>: <why>"; non-zero when any case failed.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$top/build-windows/self-test
rm -rf "$work"
mkdir -p "$work/src"

# name | what the check must print for it ("" when the file must pass) | source
cases=(
  "windows_code||#include <windows.h>
#include <thread>
DWORD size() { wchar_t buffer[MAX_PATH]; std::thread([] {}).join(); return GetEnvironmentVariableW(L\"TEMP\", buffer, MAX_PATH); }"
  "posix_header|windows_code_posix_header.cpp:2: error: POSIX header|#include <windows.h>
#include <unistd.h>
int pid() { return 0; }"
  "posix_call|error: .fork. was not declared|#include <windows.h>
int child() { return fork(); }"
  "argument_types|error: invalid conversion from .unsigned int\\*. to .PDWORD|#include <windows.h>
bool elevated(HANDLE token) {
  TOKEN_ELEVATION elevation{};
  unsigned int size = 0;
  return GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
}"
  "linux_header|fatal error: linux/videodev2.h: No such file|#include <linux/videodev2.h>"
  "layer_header|fatal error: tesmira/platform_testing.h: No such file|#include <tesmira/platform_testing.h>"
)

files=()
for c in "${cases[@]}"; do
  name=${c%%|*}
  rest=${c#*|}
  file=$work/src/windows_code_$name.cpp
  printf '%s\n' "${rest#*|}" >"$file"
  files+=("$file")
done
output=$(TESMIRA_WINDOWS_CHECK_DIR=$work/check bash "$top/tools/windows-check/run.sh" "${files[@]}" 2>&1)

failures=0
for c in "${cases[@]}"; do
  name=${c%%|*}
  rest=${c#*|}
  want=${rest%%|*}
  line=$(grep -F "windows_code_$name.cpp: " <<<"$output" | head -n1)
  if [[ -z $want ]]; then
    [[ -z $line ]] && echo "passed: the check passes $name" ||
      { echo "failed: the check passes $name: $line"; failures=$((failures + 1)); }
  elif grep -qE "$want" <<<"$line"; then
    echo "passed: the check fails $name with file and error"
  else
    echo "failed: the check fails $name with file and error: want /$want/, got [${line:-nothing}]"
    failures=$((failures + 1))
  fi
done
((failures == 0))
