#!/usr/bin/env bash
# Configures and builds the given presets (default: every target).
# The native build comes first: the others use its packaging tool.
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(native linux-x86 windows-x64 asan tsan)
for preset in "${presets[@]}"; do
  echo "=== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
