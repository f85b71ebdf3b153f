#!/usr/bin/env bash
# Installs what is missing, builds the two programs, simulates the silicon
# [110] CBED example with korvex and turns the result into pictures and an
# HTML page with talvis. One line per stage, with its time.
source "$(dirname "$0")/common.sh"
KV_DEMO_BIN="$KV_BUILD"

stage_start=$SECONDS
stage() { printf '[%3ds] %s\n' "$((SECONDS - stage_start))" "$*"; }

stage "1/4 checking the Debian packages"
kv_install_packages
stage "2/4 building korvex and talvis (build/; a fresh build/ without tests or benchmarks)"
kv_build_programs || { echo "build failed; rerun: cmake --build build --target korvex talvis"; exit 1; }

OUT="$KV_ROOT/out/demo"
mkdir -p "$OUT"
cp "$KV_ROOT/examples/si_110_200kv.dat" "$OUT/"
cd "$OUT"
stage "3/4 korvex: Si [110], 200 kV (log: $OUT/si_110_200kv_log.txt)"
"$KV_DEMO_BIN/korvex" si_110_200kv.dat >korvex_stdout.txt 2>&1 ||
  { tail -n 20 korvex_stdout.txt; echo "korvex failed (see above)"; exit 1; }
grep -E '^(Conditions|Disk size|Beams|Thicknesses \(A\)|Tilts|Wall time):' korvex_stdout.txt | sed 's/^/        /'
stage "4/4 talvis: pictures and the page"
# talvis asks whether to draw whole patterns (1) or individual reflections (2).
printf '1\n' | "$KV_DEMO_BIN/talvis" si_110_200kv_tlv.txt >talvis_stdout.txt 2>&1 ||
  { tail -n 20 talvis_stdout.txt; echo "talvis failed (see above)"; exit 1; }
stage "done"

echo
echo "Results are in out/demo/:"
echo "  si_110_200kv_pattern.html          the labelled patterns (hkl of every disk, colour bar, scale bar)"
echo "  si_110_200kv_rs0.txt .. _rs2.txt   CBED intensities at 500, 1000 and 1500 A"
echo "  si_110_200kv.h5                    the same numbers with their units, for Python or MATLAB"
echo "  si_110_200kv_fg0.txt               the beams used"
echo "Open $OUT/si_110_200kv_pattern.html in a browser."
echo "Next, from $KV_ROOT: build/korvex examples/cu_001_200kv.dat, then build/talvis cu_001_200kv_tlv.txt"
