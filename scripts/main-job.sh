#!/usr/bin/env bash
# The main job, end to end: builds the packaging tool (native) and the 32-bit
# installer, packs the sample product into it (showing the installer's size),
# runs the installer silently into a scratch directory with its debug log on,
# and shows what the sample configuration program received.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh

# Only what the job needs, in the presets' build directories (the native
# build first: it makes mkinstaller).
for preset in native linux-x86; do
  echo "=== build: $preset"
  cmake --preset "$preset" >/dev/null
done
cmake --build --preset native --target mkinstaller
cmake --build --preset linux-x86 --target installer

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
installer="$work/moravel-installer"

echo "=== pack: src/sample-product/linux"
build/native/bin/mkinstaller -s build/linux-x86/bin/installer -o "$installer" src/sample-product/linux
build/native/bin/mkinstaller -l "$installer"
stub=build/linux-x86/bin/installer
echo "=== size: $installer $(stat -c %s "$installer") bytes; the stub $(stat -c %s "$stub") bytes" \
  "(static, stripped; its debugging information in $stub.debug)"

echo "=== run: $installer --silent --installdir $work/zorva"
status=0
NIMBO_DEBUG=1 TMPDIR="$work" "$installer" --silent --installdir "$work/zorva" >"$work/log" 2>&1 || status=$?
sed -e '/^zorva: /d' "$work/log"
echo "=== what zorva received"
grep '^zorva: ' "$work/log" || echo "(the configuration program did not run)"
echo "=== installer exit status: $status"
exit "$status"
