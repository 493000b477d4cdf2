#!/usr/bin/env bash
# Product code is Windows code: Linux-specific headers and calls belong in platform/
# only. Tests, benchmarks and tools start processes, set the environment and wait
# through the layer too; the one exception is the test helper that does what the
# layer cannot express.
set -euo pipefail
cd "$(dirname "$0")/.."
exempt='^(platform|third_party)/|^tests/support/host_calls(_http)?\.(h|cpp)$'
headers='#\s*include\s*<(unistd\.h|sys/|linux/|vulkan/|ft2build\.h|curl/|openssl/|pthread\.h|dlfcn\.h|fcntl\.h|semaphore\.h|poll\.h|signal\.h|spawn\.h|gtk/|gdk/|glib\.h|X11/)'
calls='\b(posix_spawnp?|kill|waitpid|(un)?setenv|dlopen|mkdtemp)\s*\('
product='^(agent|common|producer|vcam_source|service|launcher)/'
files=$(git ls-files -co --exclude-standard -- '*.cpp' '*.cc' '*.h' '*.hpp' | grep -vE "$exempt" || true)
status=0
report() {
  local what=$1 hits=$2
  if [[ -n "$hits" ]]; then
    echo "$what outside platform/:"
    echo "$hits"
    status=1
  fi
}
report "Linux-specific includes" "$(xargs -r grep -HnE "$headers" <<<"$files" || true)"
report "Linux process and environment calls" "$(xargs -r grep -HnE "$calls" <<<"$files" || true)"
# Product code reads the environment the Windows way (GetEnvironmentVariableW).
report "std::getenv in product code" \
  "$(grep -E "$product" <<<"$files" | grep -vE '/tests?/|/bench/' | xargs -r grep -HnE '\bgetenv\s*\(' || true)"
[[ $status -eq 0 ]] && echo "seam: clean"
exit $status
