#!/usr/bin/env bash
# Coverage-guided fuzzing of the readers: scripts/fuzz.sh [seconds-per-target [target...]]
# (KV_FUZZ_NO_BUILD=1: without configuring and building, the targets as last built)
# Installs what is missing, builds the libFuzzer targets with clang in
# build-fuzz/, runs each for the given time (default 60 s) from its seeds and
# its regression inputs, and copies every input that crashed, hung (over
# 10 s) or needed more than 2 GB into tests/fuzz/regressions/<target>/, where
# the ordinary test build replays it. Exits non-zero when anything was found.
source "$(dirname "$0")/common.sh"
kv_install_packages

seconds=${1:-60}
shift || true
fuzz_dir="$KV_ROOT/build-fuzz"
# KV_FUZZ_NO_BUILD=1 runs the targets as last built (so that several runs of
# this script can share build-fuzz/ at once, each on its own targets).
no_build=${KV_FUZZ_NO_BUILD:-0}
if [ "$no_build" != 1 ]; then
  CC=clang-14 CXX=clang++-14 cmake -S "$KV_ROOT" -B "$fuzz_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKV_FUZZ=ON -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF -DKORVEX_MPI=OFF >/dev/null
fi

# target name, then its seed files and folders (written by the configure step)
declare -A seeds
while read -r target paths; do seeds[$target]=$paths; done < "$fuzz_dir/fuzz_seeds.txt"
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=($(cut -d' ' -f1 "$fuzz_dir/fuzz_seeds.txt"))
for t in "${targets[@]}"; do
  [ -n "${seeds[$t]+x}" ] || { echo "fuzz.sh: no target $t (known: ${!seeds[*]})" >&2; exit 2; }
done
[ "$no_build" = 1 ] || cmake --build "$fuzz_dir" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

# Leaks are looked for by the sanitizer run of the tests (scripts/test.sh),
# with the suppressions of the library caches that would be reported here
# on every input.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
found=0
for t in "${targets[@]}"; do
  corpus="$fuzz_dir/corpus/$t"
  artifacts="$fuzz_dir/artifacts/$t"
  regressions="$KV_ROOT/tests/fuzz/regressions/$t"
  mkdir -p "$corpus" "$artifacts" "$regressions"
  rm -f "$artifacts"/*
  # libFuzzer reads folders as corpora but runs a named file once and stops:
  # seed files join the working corpus, seed folders are passed as they are.
  dirs=()
  for p in ${seeds[$t]}; do
    if [ -d "$p" ]; then dirs+=("$p"); else cp "$p" "$corpus/"; fi
  done
  echo "== $t: $seconds s"
  # stdout of the readers is closed (-close_fd_mask=1): their progress lines
  # would only slow the run down; libFuzzer reports on stderr.
  # libhdf5 allocates whatever a damaged file declares and copes with an
  # allocation that fails; under the sanitizer such an allocation must fail
  # the same way (return null) instead of being reported as our fault.
  asan_options=$ASAN_OPTIONS
  [ "$t" = image_emd ] && asan_options="$asan_options:allocator_may_return_null=1"
  ASAN_OPTIONS=$asan_options "$fuzz_dir/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$artifacts/" -ignore_crashes=1 \
    -ignore_timeouts=1 -ignore_ooms=1 -fork=1 "$corpus" "${dirs[@]}" "$regressions" \
    > "$fuzz_dir/$t.log" 2>&1 || true
  # fork mode reports "#<executions>: cov: ... time: <s>s" lines; the last is the total
  grep -E "^#[0-9]+" "$fuzz_dir/$t.log" | tail -1 || true
  for f in "$artifacts"/crash-* "$artifacts"/timeout-* "$artifacts"/oom-* "$artifacts"/leak-*; do
    [ -e "$f" ] || continue
    cp "$f" "$regressions/"
    echo "   found: $(basename "$f")"
    found=1
  done
done
echo "Logs: $fuzz_dir/<target>.log; new failing inputs: tests/fuzz/regressions/<target>/"
exit $found
