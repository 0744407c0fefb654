# SPDX-License-Identifier: BSD-3-Clause
# Shared by the scripts: the packages the build and tests need, and the build itself.
LATBOX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Building the MEX files: compiler, CMake, Octave's headers, the static 64-bit-integer
# OpenBLAS for kelvane and the gfortran runtime its LAPACK part needs.
LATBOX_BUILD_PACKAGES=(cmake make g++ octave liboctave-dev libopenblas64-serial-dev gfortran)
# The demo's plot: a gnuplot, ghostscript and fonts. The gnuplot packages exclude each
# other (installing gnuplot-nox removes gnuplot-qt), so one is added only when no gnuplot
# is installed at all.
LATBOX_PLOT_PACKAGES=(ghostscript fonts-freefont-otf)
if ! command -v gnuplot > /dev/null 2>&1; then
  LATBOX_PLOT_PACKAGES+=(gnuplot-nox)
fi
# The demo, and everything the build and the tests need (the Octave tests run the demo).
LATBOX_DEMO_PACKAGES=("${LATBOX_BUILD_PACKAGES[@]}" "${LATBOX_PLOT_PACKAGES[@]}")
# The cluster test (tests/cluster/slurm_test.sh) starts a Slurm of its own: slurmctld,
# slurmd, the client commands (slurm-wlm) and munged (munge).
LATBOX_CLUSTER_PACKAGES=(slurm-wlm munge)
LATBOX_PACKAGES=("${LATBOX_BUILD_PACKAGES[@]}" libgtest-dev "${LATBOX_PLOT_PACKAGES[@]}"
                 "${LATBOX_CLUSTER_PACKAGES[@]}")

# LATBOX_BUILD_JOBS: how many compilers a build runs at once (default 2, the machine's cores;
# scripts/test.sh gives the builds that run beside the fuzzing 1).
latbox_build() {  # latbox_build <build dir> [cmake options...]
  local dir="$1"
  shift
  mkdir -p "$dir"
  cmake -S "$LATBOX_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" > "$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; return 1; }
  cmake --build "$dir" -j"${LATBOX_BUILD_JOBS:-2}"
}

# The sanitizer build (clang++, AddressSanitizer and UndefinedBehaviorSanitizer, libFuzzer's
# coverage) in build-asan/: the C++ tests, the replays of the fuzz corpus and the fuzz
# harnesses, each library compiled once for all of them (scripts/sanitize.sh and
# scripts/fuzz.sh). latbox_sanitizer_build [targets...] builds those targets (default: all);
# with LATBOX_SANITIZER_BUILT=1 it builds nothing (scripts/test.sh builds once, first, and
# then runs both scripts at the same time).
LATBOX_SANITIZER_BUILD="$LATBOX_ROOT/build-asan"
latbox_sanitizer_build() {
  [ "${LATBOX_SANITIZER_BUILT:-0}" = 1 ] && return 0
  local dir="$LATBOX_SANITIZER_BUILD"
  mkdir -p "$dir"
  CXX=clang++ cmake -S "$LATBOX_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DLATBOX_FUZZ=ON \
    -DLATBOX_TESTS=ON -DLATBOX_MEX=OFF > "$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; return 1; }
  local targets=()
  for t in "$@"; do targets+=(--target "$t"); done
  cmake --build "$dir" -j"${LATBOX_BUILD_JOBS:-2}" "${targets[@]}"
}

# Robustness checks: the fuzz harnesses (scripts/fuzz.sh) need clang and its sanitizer and
# libFuzzer runtimes; scripts/valgrind_octave.sh needs valgrind.
LATBOX_FUZZ_PACKAGES=(clang libclang-rt-dev)
LATBOX_VALGRIND_PACKAGES=(valgrind)
