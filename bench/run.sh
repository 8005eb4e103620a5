#!/usr/bin/env bash
# Extraction benchmark: how long the installer takes to unpack a realistic
# product, side by side with the usual alternatives, in one run.
#
#   bash bench/run.sh [--mib N] [--reps N] [--disk-reps N] [--no-native] [--no-disk]
#
# Run as root from anywhere (it mounts a tmpfs and installs what is missing:
# makeself and time, with apt-get). It
#   1. builds mkinstaller and the installer (native and 32-bit linux-x86,
#      RelWithDebInfo as the presets ship) in build/bench-native and
#      build/bench-x86 (kept for the next run, like any build directory);
#   2. writes a product tree of about N MiB (default 300) with make_tree.py
#      (fixed seed: the same bytes every run), packs it once as payload.tar.gz
#      (GNU tar, gzip -6) and turns that archive into the installers;
#      makeself packs the same tree with its default options;
#   3. measures, repetitions interleaved, after one untimed warm-up each:
#        a  the installer (x86 deliverable, and native), whose bin/zorva exits 0
#        b  gzip -dc payload.tar.gz | tar -x
#        c  the makeself installer as users run it (checksums verified)
#        d  the same makeself installer run with SETUP_NOCHECK=1 (no checksums)
#      once extracting into a tmpfs (CPU-bound, stable on a shared machine) and
#      once into a directory on disk;
#   4. prints the medians of wall time, CPU time (user + system, children
#      included) and peak RSS, and the ratios a/b, a/c, a/d.
# a, c and d remove what they extracted before they exit (that is part of
# what a user waits for); b's output is removed untimed. Everything it makes
# outside build/ (work directory, tmpfs mount) is removed on exit.
set -euo pipefail

mib=300
reps=5
disk_reps=3
with_native=1
with_disk=1
while [ $# -gt 0 ]; do
  case "$1" in
    --mib) mib="$2"; shift 2 ;;
    --reps) reps="$2"; shift 2 ;;
    --disk-reps) disk_reps="$2"; shift 2 ;;
    --no-native) with_native=0; shift ;;
    --no-disk) with_disk=0; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done

repo=$(cd "$(dirname "$0")/.." && pwd)
bench="$repo/bench"
if [ "$(id -u)" != 0 ]; then
  echo "run.sh: must run as root (it mounts a tmpfs and may install packages)" >&2
  exit 1
fi

# ---- 0. tools -------------------------------------------------------------
missing=()
for p in makeself time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "=== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null || {
    apt-get update -q >/dev/null
    apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
  }
fi

# ---- 1. build -------------------------------------------------------------
echo "=== build (RelWithDebInfo): build/bench-native, build/bench-x86"
cd "$repo"
cmake --preset native -B build/bench-native >/dev/null
cmake --build build/bench-native -j2 --target mkinstaller installer >/dev/null
cmake --preset linux-x86 -B build/bench-x86 -DVEK_HOST_TOOLS_DIR="$repo/build/bench-native/bin" >/dev/null
cmake --build build/bench-x86 -j2 --target installer >/dev/null
mkinstaller="$repo/build/bench-native/bin/mkinstaller"

# ---- 2. tree and installers -----------------------------------------------
work=$(mktemp -d /var/tmp/vek-bench.XXXXXX)
tmpfs="$work/tmpfs"
cleanup() {
  if mountpoint -q "$tmpfs" 2>/dev/null; then umount "$tmpfs" || umount -l "$tmpfs"; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "=== tree: $mib MiB"
python3 "$bench/make_tree.py" "$work/tree" --mib "$mib"
echo "=== pack"
tar --format=gnu --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 -C "$work/tree" -cf - . |
  gzip -6 -n >"$work/payload.tar.gz"
"$mkinstaller" -s build/bench-x86/bin/installer -o "$work/installer-x86" "$work/payload.tar.gz"
variants=(a-x86)
if [ "$with_native" = 1 ]; then
  "$mkinstaller" -s build/bench-native/bin/installer -o "$work/installer-native" "$work/payload.tar.gz"
  variants+=(a-native)
fi
variants+=(b c d)
makeself "$work/tree" "$work/makeself.run" "benchmark product" ./bin/zorva >/dev/null
tree_bytes=$(du -sb "$work/tree" | cut -f1)
files=$(find "$work/tree" -type f | wc -l)
rm -rf "$work/tree"  # every variant works from its archive alone
printf '    tree %d MiB, %d files; payload.tar.gz %d MiB; installer-x86 %d MiB; makeself.run %d MiB\n' \
  $((tree_bytes >> 20)) "$files" $(($(stat -c %s "$work/payload.tar.gz") >> 20)) \
  $(($(stat -c %s "$work/installer-x86") >> 20)) $(($(stat -c %s "$work/makeself.run") >> 20))

# ---- 3. measurements -------------------------------------------------------
# run_variant VARIANT TARGET_DIR RESULT_FILE: one run, its figures appended as
# "variant wall user system maxrss_kib". Fails the benchmark when the run fails
# or leaves anything behind.
run_variant() {
  local variant="$1" target="$2" out="$3" result status=0
  result=$(mktemp "$work/time.XXXXXX")
  local -a timed=(/usr/bin/time -o "$result" -f "$variant %e %U %S %M")
  case "$variant" in
    a-x86|a-native)
      env TMP="$target" TEMP="$target" TMPDIR="$target" "${timed[@]}" "$work/installer-${variant#a-}" >"$work/log" 2>&1 || status=$? ;;
    b)
      mkdir "$target/tar-out"
      "${timed[@]}" sh -c 'gzip -dc "$1" | tar -x -C "$2"' sh "$work/payload.tar.gz" "$target/tar-out" >"$work/log" 2>&1 || status=$?
      rm -rf "$target/tar-out" ;;
    c)
      env TMPDIR="$target" "${timed[@]}" "$work/makeself.run" >"$work/log" 2>&1 || status=$? ;;
    d)
      env TMPDIR="$target" SETUP_NOCHECK=1 "${timed[@]}" "$work/makeself.run" >"$work/log" 2>&1 || status=$? ;;
  esac
  if [ "$status" != 0 ]; then
    echo "run.sh: $variant failed (exit status $status):" >&2
    cat "$work/log" "$result" >&2
    exit 1
  fi
  if [ -n "$(ls -A "$target")" ]; then
    echo "run.sh: $variant left files in $target" >&2
    exit 1
  fi
  cat "$result" >>"$out"
  rm -f "$result"
  sync  # write-back of this run must not be charged to the next one
}

# measure MODE TARGET_DIR REPS
measure() {
  local mode="$1" target="$2" count="$3" v i
  echo "=== $mode: $count repetitions into $target (load: $(cut -d' ' -f1-3 /proc/loadavg))"
  for v in "${variants[@]}"; do run_variant "$v" "$target" /dev/null; done  # warm-up
  for ((i = 1; i <= count; ++i)); do
    for v in "${variants[@]}"; do run_variant "$v" "$target" "$work/results-$mode"; done
  done
  echo "    load after: $(cut -d' ' -f1-3 /proc/loadavg)"
}

mkdir "$tmpfs"
mount -t tmpfs -o size=1g,mode=0755 vek-bench "$tmpfs"
measure tmpfs "$tmpfs" "$reps"
umount "$tmpfs"
if [ "$with_disk" = 1 ]; then
  mkdir "$work/disk"
  measure disk "$work/disk" "$disk_reps"
fi

# ---- 4. report ---------------------------------------------------------------
echo
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr)"
python3 - "$work" "${variants[@]}" <<'EOF'
import statistics, sys, os
work, variants = sys.argv[1], sys.argv[2:]
names = {"a-x86": "installer (linux-x86)", "a-native": "installer (native)",
         "b": "gzip -dc | tar -x", "c": "makeself", "d": "makeself, no checksum"}
for mode in ("tmpfs", "disk"):
    path = os.path.join(work, "results-" + mode)
    if not os.path.exists(path):
        continue
    rows = {}
    for line in open(path):
        v, wall, user, system, rss = line.split()
        rows.setdefault(v, []).append((float(wall), float(user) + float(system), int(rss)))
    med = {v: (statistics.median(r[0] for r in rs), statistics.median(r[1] for r in rs),
               statistics.median(r[2] for r in rs), max(r[2] for r in rs)) for v, rs in rows.items()}
    print("\n%s (medians of %d)" % (mode, len(next(iter(rows.values())))))
    print("  %-24s %8s %8s %10s %10s" % ("", "wall s", "CPU s", "RSS KiB", "max KiB"))
    for v in variants:
        w, c, r, m = med[v]
        print("  %-24s %8.2f %8.2f %10d %10d" % (names[v], w, c, r, m))
    for a in (v for v in variants if v.startswith("a-")):
        parts = []
        for other in ("b", "c", "d"):
            parts.append("a/%s %.2f (CPU %.2f)" % (other, med[a][0] / med[other][0], med[a][1] / med[other][1]))
        print("  %-24s %s" % (names[a] + ":", ", ".join(parts)))
EOF
