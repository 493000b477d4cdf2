#!/usr/bin/env bash
# Product code is Windows code: Linux-specific headers belong in platform/ only.
set -euo pipefail
cd "$(dirname "$0")/.."
pattern='#\s*include\s*<(unistd\.h|sys/|linux/|vulkan/|ft2build\.h|curl/|openssl/|pthread\.h|dlfcn\.h|fcntl\.h|semaphore\.h|poll\.h|signal\.h)'
hits=$(git ls-files -co --exclude-standard -- '*.cpp' '*.cc' '*.h' '*.hpp' \
  | grep -vE '^(platform|tests?|tools|third_party)/|/tests?/' \
  | xargs -r grep -HnE "$pattern" || true)
if [[ -n "$hits" ]]; then
  echo "Linux-specific includes outside platform/:"
  echo "$hits"
  exit 1
fi
echo "seam: clean"
