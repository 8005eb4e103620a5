#!/usr/bin/env bash
# Configures and builds the given presets (default: every target).
# The native build comes first: the others use its packaging tool.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
presets=("$@")
[ ${#presets[@]} -gt 0 ] || mapfile -t presets < <(vek_presets)
for preset in "${presets[@]}"; do
  echo "=== build: $preset"
  started=$SECONDS
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "time: build $preset $((SECONDS - started)) s"
done
