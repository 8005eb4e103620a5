#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need. Safe to run
# again: apt is asked only for what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ g++-multilib make
  zlib1g-dev zlib1g-dev:i386
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine64 googletest
  openjdk-17-jdk-headless openjdk-17-jdk-headless:i386
  libarchive-dev libarchive-tools busybox tar python3
  clang-14 libclang-rt-14-dev
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ -n "${need_update:-}" ] || [ ! -f /var/lib/apt/lists/lock ] || \
     [ -z "$(find /var/lib/apt/lists -maxdepth 1 -name '*i386*Packages*' -print -quit)" ]; then
    apt-get update -q
  fi
  apt-get install -y -q --no-install-recommends "${missing[@]}" || {
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
  }
fi
