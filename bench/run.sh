#!/usr/bin/env bash
# Extraction benchmark: how long the installer takes to unpack a product,
# side by side with the usual extractors, in one interleaved run.
#
#   bash bench/run.sh [--tree java|generated] [--mib N] [--reps N] [--disk-reps N]
#                     [--pack-reps N] [--no-native] [--no-x86] [--no-windows] [--no-disk]
#                     [--no-makeself] [--quick]
#
# Run as root from anywhere (it mounts a tmpfs and installs what is missing:
# makeself, time, bsdtar and pigz, with apt-get). It
#   1. builds mkinstaller and the installer (native and 32-bit linux-x86,
#      RelWithDebInfo as the presets ship) in build/bench-native and
#      build/bench-x86 (kept for the next run, like any build directory), and
#      the Windows installer in build/bench-win, for its size only (skipped
#      without the mingw-w64 compiler or with --no-windows);
#   2. makes the product tree:
#        java       (default) shaped like a Java product, from what the machine
#                   has: an installed JDK (jdk/), the system's jars (java/) and
#                   its documentation (doc/), and bin/zorva, which exits 0;
#        generated  make_tree.py's tree of about N MiB (default 300; fixed seed);
#      then packs it as payload.tar.gz with GNU tar (tar -czf, gzip -6) and into
#      the installers with mkinstaller, timing both (--pack-reps, interleaved);
#      makeself packs the same tree with its default options;
#   3. measures, repetitions interleaved, after one untimed warm-up each:
#        installer (linux-x86), installer (native)  as users run them
#        bsdtar -xf payload.tar.gz
#        pigz -dc payload.tar.gz | tar -x
#        gzip -dc payload.tar.gz | tar -x
#        makeself, and makeself with SETUP_NOCHECK=1 (no checksums)
#      once extracting into a tmpfs (CPU-bound) and once into a directory on
#      disk; every run records the load average beside its figures;
#   4. prints the medians of wall time, CPU time (user + system, children
#      included), peak RSS and the load during the runs, every ratio against
#      bsdtar, packing time and installer size against tar -czf, and the
#      sizes of both delivered stubs (stripped, as shipped) against their goals.
# The installers and makeself remove what they extracted before they exit
# (part of what a user waits for); the tar extractors' output is removed
# untimed. Where the kernel refuses 32-bit programs they run under qemu's
# user-mode emulator: the linux-x86 times are then not comparable, and its
# peak RSS includes the emulator (a trivial 32-bit program's figure is shown
# beside it); the native build gives the speed ratios. --quick is
# --reps 3 --no-disk --no-makeself --pack-reps 1. Everything it makes outside
# build/ (work directory, tmpfs mount) is removed on exit.
set -euo pipefail

tree_kind=java
mib=300
reps=5
disk_reps=3
pack_reps=2
with_native=1
with_x86=1
with_windows=1
with_disk=1
with_makeself=1
while [ $# -gt 0 ]; do
  case "$1" in
    --tree) tree_kind="$2"; shift 2 ;;
    --mib) mib="$2"; shift 2 ;;
    --reps) reps="$2"; shift 2 ;;
    --disk-reps) disk_reps="$2"; shift 2 ;;
    --pack-reps) pack_reps="$2"; shift 2 ;;
    --no-native) with_native=0; shift ;;
    --no-x86) with_x86=0; shift ;;
    --no-windows) with_windows=0; shift ;;
    --no-disk) with_disk=0; shift ;;
    --no-makeself) with_makeself=0; shift ;;
    --quick) reps=3; with_disk=0; with_makeself=0; pack_reps=1; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
case "$tree_kind" in java|generated) ;; *) echo "run.sh: --tree is java or generated" >&2; exit 2 ;; esac
if [ "$with_native" = 0 ] && [ "$with_x86" = 0 ]; then echo "run.sh: nothing to measure" >&2; exit 2; fi

repo=$(cd "$(dirname "$0")/.." && pwd)
bench="$repo/bench"
if [ "$(id -u)" != 0 ]; then
  echo "run.sh: must run as root (it mounts a tmpfs and may install packages)" >&2
  exit 1
fi
load() { cut -d' ' -f1 /proc/loadavg; }

# ---- 0. tools -------------------------------------------------------------
missing=()
for p in makeself time libarchive-tools pigz; do
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
echo "=== build (RelWithDebInfo): build/bench-native, build/bench-x86, build/bench-win"
cd "$repo"
cmake --preset native -B build/bench-native >/dev/null
cmake --build build/bench-native -j2 --target mkinstaller installer >/dev/null
mkinstaller="$repo/build/bench-native/bin/mkinstaller"
if [ "$with_x86" = 1 ]; then
  cmake --preset linux-x86 -B build/bench-x86 -DVEK_HOST_TOOLS_DIR="$repo/build/bench-native/bin" >/dev/null
  cmake --build build/bench-x86 -j2 --target installer >/dev/null
fi
stub_win=""
if [ "$with_windows" = 1 ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  cmake --preset windows-x64 -B build/bench-win -DVEK_HOST_TOOLS_DIR="$repo/build/bench-native/bin" >/dev/null
  cmake --build build/bench-win -j2 --target installer >/dev/null
  stub_win=build/bench-win/bin/installer.exe
fi
emulated=0
if [ "$with_x86" = 1 ] && [ -r /proc/sys/fs/binfmt_misc/vek-i386 ] && head -n1 /proc/sys/fs/binfmt_misc/vek-i386 | grep -qx enabled; then
  emulated=1
fi

# ---- 2. tree, archives, installers -----------------------------------------
work=$(mktemp -d /var/tmp/vek-bench.XXXXXX)
tmpfs="$work/tmpfs"
cleanup() {
  if mountpoint -q "$tmpfs" 2>/dev/null; then umount "$tmpfs" || umount -l "$tmpfs"; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

tree="$work/tree"
if [ "$tree_kind" = java ]; then
  jdk=$(find /usr/lib/jvm -mindepth 1 -maxdepth 1 -type d -name 'java-*-openjdk-*' | sort | tail -n 1)
  [ -n "$jdk" ] || { echo "run.sh: no JDK under /usr/lib/jvm for the java tree" >&2; exit 1; }
  echo "=== tree: Java product from $jdk, /usr/share/java, /usr/share/doc"
  mkdir -p "$tree/bin"
  cp -a "$jdk" "$tree/jdk"
  cp -a /usr/share/java "$tree/java"
  cp -a /usr/share/doc "$tree/doc"
  printf '#!/bin/sh\n# Benchmark configuration program: does nothing, successfully.\nexit 0\n' >"$tree/bin/zorva"
  chmod 0755 "$tree/bin/zorva"
else
  echo "=== tree: generated, $mib MiB"
  python3 "$bench/make_tree.py" "$tree" --mib "$mib"
fi
tree_bytes=$(du -sb "$tree" | cut -f1)
entries=$(find "$tree" | wc -l)

# pack_time LABEL COMMAND...: runs the packing command, appends "label wall cpu load".
pack_time() {
  local label="$1" result
  shift
  result=$(mktemp "$work/time.XXXXXX")
  /usr/bin/time -o "$result" -f "$label %e %U %S" "$@" >/dev/null 2>"$work/log" || {
    echo "run.sh: packing ($label) failed:" >&2; cat "$work/log" >&2; exit 1; }
  read -r l w u s <"$result"
  echo "$l $w $(awk "BEGIN { print $u + $s }") $(load)" >>"$work/results-pack"
  rm -f "$result"
}
stub_x86=build/bench-x86/bin/installer
stub_native=build/bench-native/bin/installer
first_stub=$([ "$with_x86" = 1 ] && echo "$stub_x86" || echo "$stub_native")
echo "=== pack: tar -czf and mkinstaller, $pack_reps interleaved (load $(load))"
for ((i = 1; i <= pack_reps; ++i)); do
  rm -f "$work/payload.tar.gz" "$work/installer-first"
  pack_time tar-czf sh -c 'tar --format=gnu -C "$1" -czf "$2" .' sh "$tree" "$work/payload.tar.gz"
  pack_time mkinstaller "$mkinstaller" -s "$first_stub" -o "$work/installer-first" "$tree"
done
variants=()
if [ "$with_x86" = 1 ]; then
  mv "$work/installer-first" "$work/installer-x86"
  variants+=(a-x86)
fi
if [ "$with_native" = 1 ]; then
  if [ "$with_x86" = 1 ]; then
    "$mkinstaller" -s "$stub_native" -o "$work/installer-native" "$tree"
  else
    mv "$work/installer-first" "$work/installer-native"
  fi
  variants+=(a-native)
fi
variants+=(bsdtar pigz gzip)
if [ "$with_makeself" = 1 ]; then
  makeself "$tree" "$work/makeself.run" "benchmark product" ./bin/zorva >/dev/null 2>&1
  variants+=(makeself makeself-nocheck)
fi
rm -rf "$tree"  # every variant works from its archive alone
stub_size=$(stat -c %s "$first_stub")
installer_size=$(stat -c %s "$work/installer-${variants[0]#a-}")
printf '    tree %d MiB, %d entries; payload.tar.gz %d bytes; installer %d bytes (stub %d)\n' \
  $((tree_bytes >> 20)) "$entries" "$(stat -c %s "$work/payload.tar.gz")" "$installer_size" "$stub_size"

# A trivial static 32-bit program under the emulator: what qemu alone costs in RSS.
qemu_baseline=""
if [ "$emulated" = 1 ]; then
  printf 'int main(void) { return 0; }\n' >"$work/nop.c"
  if gcc -m32 -static -O2 -o "$work/nop32" "$work/nop.c" 2>/dev/null; then
    qemu_baseline=$(/usr/bin/time -f %M "$work/nop32" 2>&1 >/dev/null | tail -n1)
  fi
fi

# ---- 3. measurements -------------------------------------------------------
# run_variant VARIANT TARGET_DIR RESULT_FILE: one run, its figures appended as
# "variant wall user system maxrss_kib load1". Fails the benchmark when the
# run fails or leaves anything behind.
run_variant() {
  local variant="$1" target="$2" out="$3" result status=0 before
  result=$(mktemp "$work/time.XXXXXX")
  local -a timed=(/usr/bin/time -o "$result" -f "$variant %e %U %S %M")
  before=$(load)
  case "$variant" in
    a-x86|a-native)
      env TMP="$target" TEMP="$target" TMPDIR="$target" "${timed[@]}" "$work/installer-${variant#a-}" >"$work/log" 2>&1 || status=$? ;;
    bsdtar|pigz|gzip)
      mkdir "$target/tar-out"
      case "$variant" in
        bsdtar) "${timed[@]}" bsdtar -xf "$work/payload.tar.gz" -C "$target/tar-out" >"$work/log" 2>&1 || status=$? ;;
        *) "${timed[@]}" sh -c "$variant"' -dc "$1" | tar -x -C "$2"' sh "$work/payload.tar.gz" "$target/tar-out" \
             >"$work/log" 2>&1 || status=$? ;;
      esac
      rm -rf "$target/tar-out" ;;
    makeself)
      env TMPDIR="$target" "${timed[@]}" "$work/makeself.run" >"$work/log" 2>&1 || status=$? ;;
    makeself-nocheck)
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
  echo "$(cat "$result") $before" >>"$out"
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
mount -t tmpfs -o size=2g,mode=0755 vek-bench "$tmpfs"
measure tmpfs "$tmpfs" "$reps"
umount "$tmpfs"
if [ "$with_disk" = 1 ]; then
  mkdir "$work/disk"
  measure disk "$work/disk" "$disk_reps"
fi

# ---- 4. report ---------------------------------------------------------------
echo
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr)"
size_of() { if [ -n "$1" ] && [ -f "$1" ]; then stat -c %s "$1"; else echo 0; fi; }
stub_sizes="$(size_of "$([ "$with_x86" = 1 ] && echo "$stub_x86")") $(size_of "$stub_win")"
python3 - "$work" "$emulated" "$qemu_baseline" "$stub_size" "$installer_size" "$stub_sizes" "${variants[@]}" <<'EOF'
import os
import statistics
import sys

work, emulated, qemu_baseline = sys.argv[1], sys.argv[2] == "1", sys.argv[3]
stub_size, installer_size = int(sys.argv[4]), int(sys.argv[5])
stub_x86, stub_win = (int(v) for v in sys.argv[6].split())
variants = sys.argv[7:]
names = {"a-x86": "installer (linux-x86)", "a-native": "installer (native)", "bsdtar": "bsdtar -xf",
         "pigz": "pigz -dc | tar -x", "gzip": "gzip -dc | tar -x", "makeself": "makeself",
         "makeself-nocheck": "makeself, no checksum"}
if emulated:
    names["a-x86"] += " [qemu]"
med = statistics.median

for mode in ("tmpfs", "disk"):
    path = os.path.join(work, "results-" + mode)
    if not os.path.exists(path):
        continue
    rows = {}
    for line in open(path):
        v, wall, user, system, rss, load = line.split()
        rows.setdefault(v, []).append((float(wall), float(user) + float(system), int(rss), float(load)))
    m = {v: (med(r[0] for r in rs), med(r[1] for r in rs), max(r[2] for r in rs), med(r[3] for r in rs))
         for v, rs in rows.items()}
    loads = [r[3] for rs in rows.values() for r in rs]
    print("\n%s (medians of %d; load average during the runs %.1f to %.1f, median %.1f)"
          % (mode, len(next(iter(rows.values()))), min(loads), max(loads), med(loads)))
    print("  %-30s %8s %8s %12s %6s %10s %10s" % ("", "wall s", "CPU s", "peak RSS KiB", "load", "wall/bsd", "CPU/bsd"))
    base = m["bsdtar"]
    for v in variants:
        w, c, r, l = m[v]
        print("  %-30s %8.2f %8.2f %12d %6.1f %10.2f %10.2f" % (names[v], w, c, r, l, w / base[0], c / base[1]))
    if emulated and "a-x86" in m:
        print("  linux-x86 ran under qemu-i386: its times are not comparable; its RSS includes the emulator"
              + (" (a trivial static 32-bit program: %s KiB)" % qemu_baseline if qemu_baseline else ""))

path = os.path.join(work, "results-pack")
rows = {}
for line in open(path):
    label, wall, cpu, load = line.split()
    rows.setdefault(label, []).append((float(wall), float(cpu), float(load)))
tar_w, tar_c = med(r[0] for r in rows["tar-czf"]), med(r[1] for r in rows["tar-czf"])
mk_w, mk_c = med(r[0] for r in rows["mkinstaller"]), med(r[1] for r in rows["mkinstaller"])
loads = [r[2] for rs in rows.values() for r in rs]
tgz = os.path.getsize(os.path.join(work, "payload.tar.gz"))
print("\npacking (medians of %d; load %.1f to %.1f)" % (len(rows["tar-czf"]), min(loads), max(loads)))
print("  tar -czf     %7.2f s wall %7.2f s CPU  %12d bytes" % (tar_w, tar_c, tgz))
print("  mkinstaller  %7.2f s wall %7.2f s CPU  %12d bytes (payload %d, stub %d)"
      % (mk_w, mk_c, installer_size, installer_size - stub_size, stub_size))
print("  mkinstaller/tar: wall %.2f, CPU %.2f; installer/tar.gz %.3f, payload/tar.gz %.3f"
      % (mk_w / tar_w, mk_c / tar_c, installer_size / tgz, (installer_size - stub_size) / tgz))

# The delivered stubs, stripped as shipped (0: not built in this run).
print("\nstubs (stripped, as delivered)")
for name, size, goal, goal_text in (("linux-x86", stub_x86, 1887436, "1.8 MiB"),
                                    ("windows-x64", stub_win, 450000, "450,000 bytes")):
    if size:
        print("  %-12s %10d bytes (%.2f MiB), goal at most %s: %s"
              % (name, size, size / 1048576.0, goal_text, "met" if size <= goal else "MISSED"))
    else:
        print("  %-12s not built in this run" % name)
EOF
