#!/usr/bin/env bash
# Cost of one refinement iteration against one plain simulation of the same
# disk (synthetic Si [110] example, both pinned to one core), as a ratio.
# Run after build/ has been built.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
/usr/bin/python3 "$ROOT/tools/fit_noise_study.py" --korvex "$ROOT/build/korvex" --seeds 1 | tail -1
