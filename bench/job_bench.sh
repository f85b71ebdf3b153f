#!/usr/bin/env bash
# Whole-job timings of korvex: the demo simulation (Si [110], 31 x 31 disk)
# and a larger one (Si [110] at 200 kV, about 150 exact and 60 Bethe beams
# at the disk centre, a KV_BENCH_SIDE x KV_BENCH_SIDE disk, 51 by default).
# The larger job runs serially and on every core, with eigmat_func 0, 2 and
# 3 and without eigmat_func (the solver korvex chooses for the beam count),
# and in an MPI build as 2 ranks x 1 thread against 1 process x 2 threads;
# the script prints wall time, CPU time, peak memory (maximum resident set of
# the largest process) and time per computed tilt of each run, then the
# ratios, and checks that every variant wrote the same result files. Run
# after build/ has been built (bench/run_all.sh builds what it needs). On a
# shared machine the ratios depend on the load: note `uptime`.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
KORVEX="$ROOT/build/korvex"
SIDE=${KV_BENCH_SIDE:-51}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cp "$ROOT/examples/si_110_200kv.dat" "$WORK/demo.dat"

# The larger job: a wider exact-beam window (s_g below 0.068 1/A exact,
# below 0.10 Bethe, weak beams up to an extinction distance of 2e5 A) and a
# SIDE x SIDE grid.
sed -e "s/^31$/$SIDE/" -e "s/^400 2.0 0 0$/1000 5.0 0 0/" -e "s/^0.02 0.08 20000.0$/0.068 0.10 200000.0/" \
  "$WORK/demo.dat" > "$WORK/large.dat"
grep -q "^0.068 0.10 200000.0$" "$WORK/large.dat" || { echo "the demo's beam-search lines have changed" >&2; exit 1; }

# large.dat with extra run-control lines: variant NAME LINES...
variant() {
  local name=$1
  shift
  local extra
  extra=$(printf '%s\\n' "$@")
  sed -e "s/^}EPS_CONTROL_PARAMETERS/${extra}}EPS_CONTROL_PARAMETERS/" "$WORK/large.dat" > "$WORK/$name.dat"
}

declare -A WALL
# run NAME [LAUNCHER...]: korvex on NAME.dat, started through the launcher
# (mpirun and its arguments) when one is given.
run() {
  local name=$1
  shift
  cd "$WORK"
  local t0 t1
  t0=$(date +%s.%N)
  /usr/bin/time -f "%M %U %S" -o "$name.mem" "$@" "$KORVEX" "$name.dat" > "$name.out"
  t1=$(date +%s.%N)
  local beams tilts
  beams=$(grep -o 'Exact = [0-9]*, Bethe = [0-9]*' "$name.out" | head -1 || true)
  tilts=$(sed -n 's/^Tilts: \([0-9]*\)$/\1/p' "$name.out" | head -1)
  WALL[$name]=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
  read -r mem user sys < "$name.mem"
  awk -v n="$name" -v b="$beams" -v k="$tilts" -v w="${WALL[$name]}" -v m="$mem" -v c="$(awk -v u="$user" -v s="$sys" 'BEGIN{print u+s}')" 'BEGIN {
    printf "%-10s %-26s tilts %5d  wall %7.2f s  cpu %7.2f s  peak %8s kB  per tilt %7.3f ms\n", n, b, k, w, c, m, 1000 * w / k }'
}

ratio() { awk -v a="${WALL[$2]}" -v b="${WALL[$3]}" -v t="$1" 'BEGIN { printf "%-44s %.2fx\n", t, a / b }'; }

variant t1_e0 "num_threads 1"
variant tall_e0 "num_threads 0"
variant t1_e2 "num_threads 1" "eigmat_func 2" "bc_invmat_func 2"
variant tall_e2 "num_threads 0" "eigmat_func 2" "bc_invmat_func 2"
variant t1_e3 "num_threads 1" "eigmat_func 3"
# As a user runs it: no eigmat_func line at all.
variant t1_auto "num_threads 1"
sed -i -e '/^eigmat_func/d' "$WORK/t1_auto.dat"

# 2 MPI ranks of 1 thread against 1 process of 2 threads, when korvex was
# built with MPI (peak memory is that of the largest rank).
MPI_RUN=()
if grep -q '^KORVEX_MPI:BOOL=ON' "$ROOT/build/CMakeCache.txt" 2>/dev/null && command -v mpirun >/dev/null; then
  export OMPI_MCA_plm_rsh_agent= OMPI_MCA_btl_vader_single_copy_mechanism=none
  MPI_RUN=(mpirun --allow-run-as-root --oversubscribe -n 2)
  variant t2_e0 "num_threads 2"
  variant r2_e0 "num_threads 1"
fi

echo "load before: $(uptime)"
run demo
for v in t1_e0 tall_e0 t1_e2 tall_e2 t1_e3 t1_auto; do run "$v"; done
grep -h '^Eigen solver' "$WORK/t1_auto.out"
if [ ${#MPI_RUN[@]} -gt 0 ]; then
  run t2_e0
  run r2_e0 "${MPI_RUN[@]}"
fi
echo "load after: $(uptime)"
# The second line of a result file names the file itself; the rest must
# match between thread counts and ranks (the LAPACK solver agrees only to
# rounding, so it is compared with its own threaded run).
same() {
  for t in 0 1 2; do
    cmp -s <(tail -n +3 "$WORK/$1_rs$t.txt") <(tail -n +3 "$WORK/$2_rs$t.txt") ||
      echo "rs$t differs between $1 and $2"
  done
}
same t1_e0 tall_e0
same t1_e2 tall_e2
same t1_e3 t1_auto
ratio "num_threads 1 / all cores ($(nproc) cores), eigmat 0" t1_e0 tall_e0
ratio "num_threads 1 / all cores ($(nproc) cores), eigmat 2" t1_e2 tall_e2
ratio "eigmat_func 0 / eigmat_func 2, one thread" t1_e0 t1_e2
ratio "eigmat_func 0 / eigmat_func 2, all cores" tall_e0 tall_e2
ratio "eigmat_func 0 / eigmat_func 3, one thread" t1_e0 t1_e3
ratio "eigmat_func 0 / chosen solver, one thread" t1_e0 t1_auto
if [ ${#MPI_RUN[@]} -gt 0 ]; then
  same t1_e0 r2_e0
  ratio "1 rank x 2 threads / 2 ranks x 1 thread" t2_e0 r2_e0
fi
