#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target on a copy of its seed
# corpus in build/fuzz/corpus-work for FUZZ_SECONDS each, or, when that is not
# set, for an equal share of FUZZ_TOTAL_SECONDS (default 300: the stage's time
# budget, whatever the number of targets), so that
# the corpora in the source tree are never written. Any crash, sanitizer
# report, leak, timeout or out-of-memory fails the target and the script.
# Reproduce a finding with: build/fuzz/bin/fuzz_<target> <artifact file>
set -uo pipefail
cd "$(dirname "$0")/.."
build=build/fuzz

if ! { cmake --preset fuzz >/dev/null && cmake --build --preset fuzz; }; then
  echo "fuzz: build failed"
  echo "fuzz: 0 passed, 1 failed"
  exit 1
fi
# The targets are those the build registers (their seed replays, fuzz_<name>_seeds).
mapfile -t targets < <(ctest --test-dir "$build" -N -L fuzz | sed -nE 's/.* fuzz_(.+)_seeds$/\1/p')
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets registered"
  echo "fuzz: 0 passed, 1 failed"
  exit 1
fi
seconds=${FUZZ_SECONDS:-$(( ${FUZZ_TOTAL_SECONDS:-300} / ${#targets[@]} ))}

mkdir -p "$build/logs" "$build/tmp"
passed=0 failed=0
for target in "${targets[@]}"; do
  work="$build/corpus-work/$target"
  artifacts="$build/artifacts/$target"
  log="$build/logs/fuzz-$target.log"
  rm -rf "$work" "$artifacts"
  mkdir -p "$work" "$artifacts"
  cp src/native-fuzz/corpus/"$target"/* "$work"/
  if TMPDIR="$PWD/$build/tmp" "$build/bin/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=2048 \
       -timeout=30 -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "fuzz: $target passed (${runs:-?} runs in ${seconds}s, corpus $(ls "$work" | wc -l) inputs)"
    passed=$((passed + 1))
  else
    echo "fuzz: $target FAILED (log $log, inputs in $artifacts)"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$log" | head -n 5 | sed 's/^/  /'
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
