#!/usr/bin/env bash
# Include counts between the folders of src/, and every include that climbs
# from a lower layer to a higher one (see docs/architecture.md). Exits 1 when
# there is one, or when a folder is not in the list of layers.
#   tools/layers.sh [SRC_DIR]
set -euo pipefail
src=${1:-"$(dirname "$0")/../src"}
layers=(sim numeric crystal input beams bloch model results vis expdata fit jobs expimage driver)
# fit and jobs are siblings: one layer.
declare -A rank=([sim]=0 [numeric]=1 [crystal]=2 [input]=3 [beams]=4 [bloch]=5 [model]=6 [results]=7
                 [vis]=8 [expdata]=9 [fit]=10 [jobs]=10 [expimage]=11 [driver]=12)
cd "$src"
edges=$(for d in */; do
  d=${d%/}
  { grep -ho '^#include "[a-z_]*/' "$d"/* 2>/dev/null || true; } | sed 's/#include "//; s/\///' | while read -r t; do
    if [ "$t" != "$d" ]; then echo "$d -> $t"; fi
  done
done | sort | uniq -c)
echo "$edges"
bad=0
for d in */; do
  d=${d%/}
  if [ -z "${rank[$d]:-}" ]; then echo "folder $d is in no layer (tools/layers.sh)"; bad=1; fi
done
while read -r count from _ to; do
  if [ -z "${count:-}" ]; then continue; fi
  if [ -z "${rank[$to]:-}" ] || [ -z "${rank[$from]:-}" ]; then continue; fi
  if [ "${rank[$to]}" -ge "${rank[$from]}" ]; then
    echo "climbs: $from includes $to ($count)"
    grep -Hn "^#include \"$to/" "$from"/* || true
    bad=1
  fi
done <<< "$edges"
if [ "$bad" -eq 0 ]; then echo "no include climbs from a lower layer to a higher one (${layers[*]})"; fi
exit "$bad"
