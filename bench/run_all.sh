#!/usr/bin/env bash
# Every benchmark of the tilt loop in one go, for an otherwise idle machine:
# builds korvex and bench_engine in build/ when needed, prints the per-tilt
# stage split at 50/100/200/400 exact beams with the eigen solution's flop
# rate against a measured zgemm peak, then the whole-job comparison of
# bench/job_bench.sh (threads, eigmat_func 2 against 0, MPI ranks against
# threads, peak memory).
#
#   bench/run_all.sh                  full size: 51 x 51 disk (about 8 min on 2 cores)
#   KV_BENCH_QUICK=1 bench/run_all.sh 25 x 25 disk, shorter stage timings (about 3 min)
#
# KV_BENCH_SIDE overrides the disk size of either.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build"
QUICK=${KV_BENCH_QUICK:-0}
if [ "$QUICK" = 1 ]; then
  export KV_BENCH_SIDE=${KV_BENCH_SIDE:-25}
  MIN_TIME=0.05
else
  export KV_BENCH_SIDE=${KV_BENCH_SIDE:-51}
  MIN_TIME=0.3
fi

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  # shellcheck source=../scripts/common.sh
  source "$ROOT/scripts/common.sh"
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release $(kv_mpi_flag) >/dev/null
fi
cmake --build "$BUILD" -j "$(nproc)" --target korvex bench_engine bench_split bench_potential >/dev/null

echo "== machine: $(nproc) cores, $(uptime)"
# OpenBLAS picks its kernels by the processor it recognises; an unknown one
# falls back to the slowest (Prescott), which decides the zgemm peak and the
# LAPACK path's times below. OPENBLAS_CORETYPE overrides the choice.
echo "== OpenBLAS kernel: $(OPENBLAS_VERBOSE=2 "$BUILD/bench/bench_engine" --benchmark_filter=ZgemmPeak \
  --benchmark_min_time=0.01 2>&1 | sed -n 's/^Core: //p' | head -1)${OPENBLAS_CORETYPE:+ (OPENBLAS_CORETYPE=$OPENBLAS_CORETYPE)}"
echo "== per-tilt stages (bench_engine, Si [110] 200 kV, Bethe beams = half the exact count)"
JSON=$(mktemp)
trap 'rm -f "$JSON"' EXIT
# The potential-matrix progress lines go to the console; the results to the file.
"$BUILD/bench/bench_engine" --benchmark_filter='BM_Stage|BM_ZgemmPeak' --benchmark_min_time="$MIN_TIME" \
  --benchmark_out="$JSON" --benchmark_out_format=json > /dev/null
/usr/bin/python3 "$ROOT/bench/stage_table.py" "$JSON"
echo
echo "== eigen paths per tilt and the Hermitian split's accuracy (bench_split)"
"$BUILD/bench/bench_split" --benchmark_min_time="$MIN_TIME" 2>/dev/null | sed -n '/^whole tilt/,$p'
echo
echo "== potential matrix (bench_potential: one pass through the table against the job's build on 1 and 2 threads)"
"$BUILD/bench/bench_potential" --benchmark_min_time="$MIN_TIME" 2>/dev/null | grep '^BM_'
echo
echo "== set-up before the tilt loop, share of the job (bench/setup_share.py, disk $KV_BENCH_SIDE x $KV_BENCH_SIDE)"
/usr/bin/python3 "$ROOT/bench/setup_share.py" --side "$KV_BENCH_SIDE" --threads 1,2
echo
echo "== whole SIM_MODE job (bench/job_bench.sh, disk $KV_BENCH_SIDE x $KV_BENCH_SIDE)"
"$ROOT/bench/job_bench.sh"
