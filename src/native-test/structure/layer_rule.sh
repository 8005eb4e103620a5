#!/bin/sh
# The layer rule on the built archives: no object of a layer references a
# symbol that only a layer above it defines.
#   layer_rule.sh <nm> <lowest layer archive> ... <highest layer archive>
# Prints every offending reference (layer, symbol, defining layer) and fails
# when there is one.
set -eu
nm_tool=$1
shift
[ "$#" -ge 2 ] || { echo "usage: $0 <nm> <archive>..." >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rank=0
for archive in "$@"; do
  [ -f "$archive" ] || { echo "no archive $archive" >&2; exit 2; }
  rank=$((rank + 1))
  # Strong definitions only: inline functions and template instances (W, V)
  # are emitted wherever they are used and belong to no layer.
  "$nm_tool" -g --defined-only "$archive" 2>/dev/null |
    awk -v r="$rank" -v l="$(basename "$archive")" 'NF == 3 && $2 ~ /^[TDBRGS]$/ { print $3, r, l }' >>"$work/defined"
  "$nm_tool" -g --undefined-only "$archive" 2>/dev/null |
    awk -v r="$rank" -v l="$(basename "$archive")" '$1 == "U" { print $2, r, l }' >>"$work/used"
done
[ -s "$work/defined" ] || { echo "no symbols read: is $nm_tool the target's nm?" >&2; exit 2; }
awk 'NR == FNR { owner[$1] = $2; where[$1] = $3; next }
     ($1 in owner) && owner[$1] > $2 { print $3 " uses " $1 " of " where[$1]; bad = 1 }
     END { exit bad }' "$work/defined" "$work/used" | sort -u >"$work/report" || true
if [ -s "$work/report" ]; then
  echo "upward references:"
  cat "$work/report"
  exit 1
fi
echo "layer rule holds for $# layers"
