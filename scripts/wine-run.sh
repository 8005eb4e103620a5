#!/usr/bin/env bash
# Runs a Windows program under Wine with the project's quiet settings: CTest's
# emulator for the Windows build. The prefix is booted once, under a lock, so
# that parallel tests do not race to create it.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$here/build/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot --init >/dev/null 2>&1
      "$(dirname "$wine")/wineserver" -w
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec "$wine" "$@"
