#!/usr/bin/env bash
# Installs what is missing, builds, simulates the silicon [110] CBED example
# with korvex and turns the result into pictures and an HTML page with talvis.
source "$(dirname "$0")/common.sh"
kv_install_packages
kv_build

OUT="$KV_ROOT/out/demo"
mkdir -p "$OUT"
cp "$KV_ROOT/examples/si_110_200kv.dat" "$OUT/"
cd "$OUT"
"$KV_BUILD/korvex" si_110_200kv.dat || { echo "korvex failed (see above)"; exit 1; }
# talvis asks whether to draw whole patterns (1) or individual reflections (2).
printf '1\n' | "$KV_BUILD/talvis" si_110_200kv_tlv.txt || { echo "talvis failed (see above)"; exit 1; }

echo
echo "Results are in $OUT:"
echo "  si_110_200kv_rs0.txt .. _rs2.txt   CBED intensities at 500, 1000 and 1500 A"
echo "  si_110_200kv_fg0.txt               the beams used"
echo "  si_110_200kv_.html                 the page with one whole-pattern picture per thickness"
echo "Open $OUT/si_110_200kv_.html in a browser."
