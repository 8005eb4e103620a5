# Sourced by the scripts: Wine runs the Windows tests quietly in a prefix of
# the build tree, so that no run depends on the user's own Wine set-up.
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export PATH="$PATH:/usr/lib/wine"
