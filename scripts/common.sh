# Shared by the scripts: the packages the build and tests need, and the build itself.
LATBOX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LATBOX_PACKAGES=(cmake make g++ libgtest-dev octave liboctave-dev
                 libopenblas64-dev libopenblas64-serial-dev gfortran
                 gnuplot-nox ghostscript fonts-freefont-otf)

latbox_build() {  # latbox_build <build dir> [cmake options...]
  local dir="$1"
  shift
  mkdir -p "$dir"
  cmake -S "$LATBOX_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" > "$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; return 1; }
  cmake --build "$dir" -j2
}

# Robustness checks: the fuzz harnesses (scripts/fuzz.sh) need clang and its sanitizer and
# libFuzzer runtimes; scripts/valgrind_octave.sh needs valgrind.
LATBOX_FUZZ_PACKAGES=(clang libclang-rt-dev)
LATBOX_VALGRIND_PACKAGES=(valgrind)
