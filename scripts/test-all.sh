#!/usr/bin/env bash
# Installs what is missing, builds every target and runs every test suite:
# native, 32-bit Linux, Windows under Wine, and the sanitizer build.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh || exit 1
echo "time: set-up $SECONDS s"
source scripts/env.sh

mapfile -t presets < <(vek_presets)
bash scripts/build.sh "${presets[@]}" || exit 1

# Boot the Wine prefix once, outside any test's time limit.
scripts/wine-run.sh cmd /c exit 0 >/dev/null 2>&1 || true

passed=0 failed=0 status=0
mkdir -p build/logs
for preset in "${presets[@]}"; do
  echo "=== test: $preset"
  junit="$PWD/build/logs/ctest-$preset.xml"
  rm -f "$junit"
  started=$SECONDS
  ctest --preset "$preset" -j2 --output-junit "$junit" 2>&1 | tee "build/logs/ctest-$preset.log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  echo "time: test $preset $((SECONDS - started)) s"
  if ! read -r p f skipped < <(python3 scripts/junit-summary.py "$junit"); then
    echo "test: $preset left no readable result"
    status=1 failed=$((failed + 1))
    continue
  fi
  [ "$f" -eq 0 ] || status=1
  passed=$((passed + p)) failed=$((failed + f))
  echo "test: $preset $p passed ($skipped of them skipped), $f failed"
done
# libFuzzer targets, a bounded time each (FUZZ_SECONDS); each target counts as one test.
started=$SECONDS
echo "=== fuzz"; bash scripts/fuzz.sh 2>&1 | tee build/logs/fuzz.log; [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
echo "time: fuzz (build and runs) $((SECONDS - started)) s"
read -r fp ff < <(sed -nE 's/^fuzz: ([0-9]+) passed, ([0-9]+) failed$/\1 \2/p' build/logs/fuzz.log | tail -n 1) && passed=$((passed + fp)) failed=$((failed + ff))
echo "total: $passed passed, $failed failed"
echo "time: all $SECONDS s"
exit $status
