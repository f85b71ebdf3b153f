#!/usr/bin/env bash
# Whole-job timings of korvex: the demo simulation (Si [110], 31 x 31 disk)
# and a larger one (about 150 exact beams, 51 x 51 disk). Prints wall time,
# peak memory and time per computed tilt. Run after scripts/test.sh or
# scripts/demo.sh has built build/.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
KORVEX="$ROOT/build/korvex"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cp "$ROOT/examples/si_110_200kv.dat" "$WORK/demo.dat"

# The larger job: a wider exact-beam window and a 51 x 51 grid.
sed -e 's/^31$/51/' -e "s/^400 2.0 0 0$/800 4.0 0 0/" -e "s/^0.02 0.08 20000.0$/0.08 0.2 20000.0/" \
  "$WORK/demo.dat" > "$WORK/large.dat"

run() {
  local name=$1
  cd "$WORK"
  local t0 t1
  t0=$(date +%s.%N)
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f "%M" -o "$name.mem" "$KORVEX" "$name.dat" > "$name.out"
  else
    "$KORVEX" "$name.dat" > "$name.out"
    echo "?" > "$name.mem"
  fi
  t1=$(date +%s.%N)
  local beams tilts
  beams=$(grep -o 'Exact = [0-9]*, Bethe = [0-9]*' "$name.out" | head -1)
  tilts=$(sed -n 's/.*num_k_points_effective = \([0-9]*\).*/\1/p' "$name.out")
  awk -v n="$name" -v b="$beams" -v k="$tilts" -v t0="$t0" -v t1="$t1" -v m="$(cat "$name.mem")" 'BEGIN {
    w = t1 - t0;
    printf "%-6s %-28s tilts %5d  wall %7.2f s  peak %8s kB  per tilt %7.3f ms\n", n, b, k, w, m, 1000 * w / k }'
}

run demo
run large
