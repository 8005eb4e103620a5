# Sourced by the scripts: Wine runs the Windows tests quietly in a prefix of
# the build tree, so that no run depends on the user's own Wine set-up.
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export PATH="$PATH:/usr/lib/wine"

# The targets every build and test run covers, in the order of
# CMakePresets.json (the native build first: the others use its packer). The
# fuzz preset is scripts/fuzz.sh's own.
vek_presets() {
  cmake --list-presets=test | sed -nE 's/^ *"([^"]+)".*/\1/p' | grep -vx fuzz
}
