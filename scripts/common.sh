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

# Robustness checks: the fuzz harnesses (scripts/fuzz.sh) need clang and its sanitizer and
# libFuzzer runtimes; scripts/valgrind_octave.sh needs valgrind.
LATBOX_FUZZ_PACKAGES=(clang libclang-rt-dev)
LATBOX_VALGRIND_PACKAGES=(valgrind)
