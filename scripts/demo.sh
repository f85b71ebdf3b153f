#!/usr/bin/env bash
# Installs what is missing, builds, and runs the example through korvex.
source "$(dirname "$0")/common.sh"
kv_install_packages
kv_build

OUT="$KV_ROOT/out/demo"
mkdir -p "$OUT"
cp "$KV_ROOT/examples/si_110_sim.dat" "$OUT/"
cd "$OUT"
"$KV_BUILD/korvex" si_110_sim.dat || { echo "korvex failed (see above)"; exit 1; }
echo
echo "Results are in $OUT"
ls -1 "$OUT"
