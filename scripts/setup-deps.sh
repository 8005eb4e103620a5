#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need. Safe to run
# again: apt is asked only for what is missing.
#
# A mirror caught mid-sync can serve an i386 index older than the amd64 one:
# `apt-get update` then fails, and apt refuses the Multi-Arch i386 packages
# whose versions disagree with the installed amd64 ones. The update is retried
# and the install goes on with the lists apt has; an i386 package apt still
# refuses is downloaded as it stands in the i386 index and unpacked with
# `dpkg -x` into a private root, build/i386-root, which the 32-bit build
# (toolchain file) and its Java VM tests use when the system has no copy.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ g++-multilib make lib32z1
  zlib1g-dev libdeflate-dev
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine64 googletest
  openjdk-17-jdk-headless
  libarchive-dev libarchive-tools busybox tar python3 pigz
  zip xz-utils
  clang-14 libclang-rt-14-dev clang-format-14 git
  openssl osslsigncode
  pkgconf
)
# i386 packages, each with the packages whose files the private root needs
# when apt refuses it (the runtime libraries come from g++-multilib/lib32z1).
declare -A i386_root_packages=(
  [zlib1g-dev:i386]="zlib1g-dev zlib1g"
  [libdeflate-dev:i386]="libdeflate-dev libdeflate0"
  [openjdk-17-jdk-headless:i386]="openjdk-17-jdk-headless openjdk-17-jre-headless"
)
private_root=build/i386-root

say() { echo "setup-deps: $*"; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
export DEBIAN_FRONTEND=noninteractive

# apt-get update, three attempts; a mirror mid-sync may still fail, and then
# the lists that did arrive (and the older ones) are used.
apt_update() {
  local attempt
  for attempt in 1 2 3; do
    if apt-get update -q; then return 0; fi
    say "apt-get update failed (attempt $attempt of 3)"
    [ "$attempt" -lt 3 ] && sleep $((attempt * 5))
  done
  say "continuing with the package lists apt has (a mirror may be mid-sync)"
}

apt_install() {
  apt-get install -y -q --no-install-recommends "$@"
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
missing_i386=()
for p in "${!i386_root_packages[@]}"; do
  installed "$p" && continue
  # Already unpacked into the private root by an earlier run.
  [ -f "$private_root/.done-${p%%:*}" ] && continue
  missing_i386+=("$p")
done

if [ ${#missing[@]} -gt 0 ] || [ ${#missing_i386[@]} -gt 0 ]; then
  if [ -n "${need_update:-}" ] || [ -z "$(find /var/lib/apt/lists -maxdepth 1 -name '*i386*Packages*' -print -quit)" ] ||
     [ -n "$(find /var/lib/apt/lists -maxdepth 1 -name '*Packages*' -mmin +1440 -print -quit)" ]; then
    apt_update
  fi
fi

if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  if ! apt_install "${missing[@]}"; then
    apt_update
    apt_install "${missing[@]}"
  fi
fi

# One at a time, so that one refused package does not hold back the others.
fallback=()
for p in "${missing_i386[@]}"; do
  say "installing $p"
  apt_install "$p" || fallback+=("$p")
done

if [ ${#fallback[@]} -gt 0 ]; then
  say "apt refused ${fallback[*]} (i386 and amd64 versions disagree while the mirror syncs);"
  say "unpacking them from the i386 index into the private root $private_root instead"
  mkdir -p "$private_root" build/i386-debs
  for p in "${fallback[@]}"; do
    for q in ${i386_root_packages[$p]}; do
      (cd build/i386-debs && rm -f "${q}"_*_i386.deb && apt-get download -q "$q:i386")
      deb=$(ls build/i386-debs/"${q}"_*_i386.deb)
      say "  dpkg -x $(basename "$deb") $private_root"
      dpkg -x "$deb" "$private_root"
    done
    touch "$private_root/.done-${p%%:*}"
  done
  # Absolute links inside the unpacked packages (the runtime's configuration
  # under /etc, say) are made to point into the private root.
  find "$private_root" -type l -lname '/*' | while read -r link; do
    target=$(readlink "$link")
    if [ -e "$private_root$target" ]; then ln -sfn "$PWD/$private_root$target" "$link"; fi
  done
  say "private i386 root ready: $PWD/$private_root (the 32-bit build and its Java VM tests use it)"
fi

# The 32-bit tests need a kernel that runs i386 programs. Some kernels are
# booted with 32-bit emulation off ("ia32_emulation"); there the i386 programs
# run under QEMU's user-mode emulator, registered for i386 ELF files through
# binfmt_misc for this boot. Debian 12's QEMU (7.2) corrupts an i386 thread's
# state when signals arrive (pthread_join then fails with EDEADLK), so the
# emulator is taken from Debian 13's statically linked qemu-user package,
# checked against the signed release file before it is used.
qemu_dir=build/qemu
qemu_suite=trixie
fetch_qemu() {
  local base=http://deb.debian.org/debian work sum deb
  work=$(mktemp -d)
  curl -fsS "$base/dists/$qemu_suite/InRelease" -o "$work/InRelease"
  gpgv --keyring /usr/share/keyrings/debian-archive-keyring.gpg "$work/InRelease" 2>/dev/null
  sum=$(awk '$3 == "main/binary-amd64/Packages.xz" { s = $1 } END { print s }' "$work/InRelease")
  curl -fsS "$base/dists/$qemu_suite/main/binary-amd64/Packages.xz" -o "$work/Packages.xz"
  echo "$sum  $work/Packages.xz" | sha256sum -c --quiet
  read -r deb sum < <(xz -dc "$work/Packages.xz" | awk '/^Package: /{p = ($2 == "qemu-user")}
    p && /^Filename: /{f = $2} p && /^SHA256: /{print f, $2; exit}')
  curl -fsS "$base/$deb" -o "$work/qemu-user.deb"
  echo "$sum  $work/qemu-user.deb" | sha256sum -c --quiet
  dpkg -x "$work/qemu-user.deb" "$work/root"
  mkdir -p "$qemu_dir"
  cp "$work/root/usr/bin/qemu-i386" "$qemu_dir/qemu-i386"
  say "unpacked qemu-i386 from $(basename "$deb") ($qemu_suite, signature and checksums verified) into $qemu_dir"
  rm -rf "$work"
}

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'int main(void) { return 0; }' >"$probe/p.c"
if gcc -m32 -static -o "$probe/p" "$probe/p.c" 2>/dev/null && ! "$probe/p" 2>/dev/null ||
   [ -e /proc/sys/fs/binfmt_misc/vek-i386 ]; then
  [ -x "$qemu_dir/qemu-i386" ] || fetch_qemu
  qemu=$(readlink -f "$qemu_dir/qemu-i386")
  [ -f /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  if ! grep -qx "interpreter $qemu" /proc/sys/fs/binfmt_misc/vek-i386 2>/dev/null ||
     ! grep -qx "flags: PF" /proc/sys/fs/binfmt_misc/vek-i386; then
    [ -e /proc/sys/fs/binfmt_misc/vek-i386 ] && echo -1 >/proc/sys/fs/binfmt_misc/vek-i386
    say "this kernel does not run 32-bit programs; registering $qemu for them (binfmt_misc, until reboot)"
    # F: the kernel opens the emulator now, so the registration does not
    # depend on the file staying where it is. P: the program sees the argv[0]
    # it was started with, as on a kernel that runs it natively.
    printf '%s' ":vek-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$qemu:FP" \
      >/proc/sys/fs/binfmt_misc/register
  fi
  "$probe/p" || { say "32-bit programs still do not run"; exit 1; }
fi

# libdeflate for the Windows installer, built from Debian's source package.
bash scripts/setup-mingw-libdeflate.sh
