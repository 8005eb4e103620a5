#!/usr/bin/env bash
# The house layout (.clang-format) over every C and C++ source that git
# tracks, but the JDK's header copied for the Windows build.
#   scripts/format.sh           reformat the files in place
#   scripts/format.sh --check   only report the files that differ (non-zero exit)
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format=${CLANG_FORMAT:-clang-format-14}
mapfile -d '' files < <(git ls-files -z '*.c' '*.cpp' '*.h' ':!:src/native/VekUtil/jni-windows/*')
if [ "${1:-}" = "--check" ]; then
  exec "$clang_format" --dry-run --Werror "${files[@]}"
fi
exec "$clang_format" -i "${files[@]}"
