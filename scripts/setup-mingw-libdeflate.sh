#!/usr/bin/env bash
# Builds libdeflate for the Windows installer (mingw-w64, static) from
# Debian's source package of the version the Linux builds use, and installs
# its header and archive into build/mingw-root, where cmake/Libdeflate.cmake
# looks. Debian ships no mingw build of it; measured under Wine, the Windows
# installer inflates its payload with it in about 60 % of the time zlib
# takes. Safe to run again: a finished build is kept.
set -euo pipefail
cd "$(dirname "$0")/.."
root=build/mingw-root
work=build/mingw-src
say() { echo "setup-mingw-libdeflate: $*"; }

version=$(dpkg-query -W -f='${Version}' libdeflate-dev:amd64)
if [ -f "$root/.done-libdeflate-$version" ]; then exit 0; fi

# apt-get source needs a deb-src entry; add one for the system's suite.
if [ -z "$(apt-cache showsrc libdeflate 2>/dev/null)" ]; then
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  say "adding the deb-src entry for $codename (apt-get source needs it)"
  cat >/etc/apt/sources.list.d/vek-deb-src.sources <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  # A mirror mid-sync may fail some indexes; the source index is what counts.
  apt-get update -q || true
fi

rm -rf "$work"
mkdir -p "$work" "$root/include" "$root/lib"
say "fetching and unpacking libdeflate $version (Debian source package)"
(cd "$work" && apt-get source -q "libdeflate=$version" >/dev/null 2>&1)
src=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'libdeflate-*' | head -n 1)
[ -n "$src" ] || { say "apt-get source libdeflate=$version gave no source tree"; exit 1; }

say "building $src for x86_64-w64-mingw32"
make -C "$src" -j2 CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar CFLAGS=-O2 \
  libdeflatestatic.lib >/dev/null
cp "$src/libdeflate.h" "$root/include/"
cp "$src/libdeflatestatic.lib" "$root/lib/libdeflate.a"
touch "$root/.done-libdeflate-$version"
say "installed into $PWD/$root"
