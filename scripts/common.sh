# Shared by the quick-start scripts: installs the Debian packages the build,
# the tests and the talvis pictures need, then configures and builds build/.
set -euo pipefail

KV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KV_BUILD="$KV_ROOT/build"

KV_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
             liblapacke-dev libceres-dev libeigen3-dev libopenblas-dev libopenmpi-dev openmpi-bin
             netpbm gnuplot-nox pngcheck libcairo2-dev libhdf5-dev libtiff-dev
             fonts-dejavu-core python3-h5py python3-matplotlib gemmi-dev tao-pegtl-dev
             clang-14 libfuzzer-14-dev pybind11-dev python3-dev python3-numpy python3-pytest)

kv_install_packages() {
  local missing=()
  for p in "${KV_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Only the two programs, in build/ (where the README's commands find them):
# a fresh build/ is configured without tests and benchmarks, what the demo
# needs in a fraction of the full build's time; an existing one is kept as it
# is configured, and scripts/test.sh later switches the tests on in it.
kv_build_programs() {
  if [ ! -f "$KV_BUILD/CMakeCache.txt" ]; then
    cmake -S "$KV_ROOT" -B "$KV_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF "$(kv_mpi_flag)" >/dev/null
  fi
  cmake --build "$KV_BUILD" -j "$(nproc)" --target korvex talvis >/dev/null
}

# MPI ranks (mpirun -n N korvex file.dat) when OpenMPI's compiler wrapper
# and header are installed (libopenmpi-dev).
kv_mpi_flag() {
  local dir
  if command -v mpicc >/dev/null 2>&1; then
    for dir in $(mpicc --showme:incdirs 2>/dev/null); do
      if [ -f "$dir/mpi.h" ]; then
        echo "-DKORVEX_MPI=ON"
        return 0
      fi
    done
  fi
  echo "-DKORVEX_MPI=OFF"
}

kv_build() {
  cmake -S "$KV_ROOT" -B "$KV_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DKV_BUILD_TESTS=ON -DKV_BUILD_BENCH=ON "$(kv_mpi_flag)" >/dev/null
  cmake --build "$KV_BUILD" -j "$(nproc)"
}

# The whole test suite once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (any undefined behaviour ends the program,
# out-of-range float-to-integer conversions included: gcc leaves them out
# of "undefined"), in build-asan/ without the benchmarks.
KV_ASAN_BUILD="$KV_ROOT/build-asan"
KV_SANITIZE="-O1 -g -DNDEBUG -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=undefined,float-cast-overflow -fno-omit-frame-pointer"

kv_build_asan() {
  cmake -S "$KV_ROOT" -B "$KV_ASAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO= -DCMAKE_C_FLAGS_RELWITHDEBINFO= \
        "-DCMAKE_CXX_FLAGS=$KV_SANITIZE" "-DCMAKE_C_FLAGS=$KV_SANITIZE" \
        -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined,float-cast-overflow \
        -DKV_BUILD_BENCH=OFF -DKV_BUILD_PYTHON=OFF "$(kv_mpi_flag)" >/dev/null
  cmake --build "$KV_ASAN_BUILD" -j "$(nproc)"
}

# Sanitizer settings of the tests and of the programs they start. Leaks are
# reported except OpenMPI's own (start-up allocations it never frees).
kv_sanitizer_env() {
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
  export LSAN_OPTIONS="suppressions=$KV_ROOT/tests/sanitizer/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
}
