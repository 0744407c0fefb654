#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds and runs every benchmark and writes one report, bench/report.md (or the path
# given as the first argument). Figures are measured side by side in one run; the
# machine's other load adds time to both sides, so compare ratios. A benchmark that fails
# is noted in the report and does not stop the others; the report is written either way
# (the exit status is then 1).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_PACKAGES[@]}" libfplll-dev pkg-config \
  python3-scipy python3-numpy time libitpp-dev

report="${1:-$LATBOX_ROOT/bench/report.md}"
build="$LATBOX_ROOT/build-bench"
latbox_build "$build" -DLATBOX_BENCH=ON -DLATBOX_TESTS=OFF > /dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rss_log="$work/rss.txt"

# Runs a command in a directory, appending its peak resident size (kB) to the memory
# table. Octave's harmless note at exit is dropped. A command that fails is noted in the
# report and the run goes on with the next one.
failed=()
measured() {  # measured <label> <dir> <command...>
  local label="$1" dir="$2" status=0
  shift 2
  (cd "$dir" && /usr/bin/time -f "%M" -o "$work/rss.one" "$@") > "$work/out.one" 2>&1 || status=$?
  grep -v "ignoring const execution_exception" "$work/out.one" || true
  if [ "$status" -ne 0 ]; then
    echo
    echo "**This benchmark stopped with exit status $status: its figures are missing or incomplete.**"
    failed+=("$label")
  fi
  # after a failure /usr/bin/time writes a line about the status before the figure
  echo "| $label | $(tail -n 1 "$work/rss.one" 2>/dev/null) |" >> "$rss_log"
}


{
  echo "# latbox benchmark report"
  echo
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- CPU: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
  echo "- compiler: $(g++ --version | head -1); Octave $(octave-cli --version | head -1 | awk '{print $4}')"
  echo "- commit: $(git -C "$LATBOX_ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo
  echo "## Call overhead from Octave"
  echo
  echo "9 runs of 20000 calls each; median and (min-max) per call."
  echo
  measured "octave-cli, call overhead" "$LATBOX_ROOT/bench/overhead" \
    octave-cli --no-gui --norc --quiet --eval \
    "addpath('$build/mex'); addpath('$build/bench-mex'); bench_overhead"
  echo
  echo "## Sphere-decoding search against fplll's closest_vector"
  echo
  echo "Random integer bases (entries in [-1000, 1000]) LLL-reduced by fplll; an integer target;"
  echo "latbox's search with an infinite radius and a box too wide to bind, on R and Q'*t from a"
  echo "QR of the basis (timed apart); fplll's closest_vector (CVPM_FAST) on the same basis and target."
  echo
  measured "bench_search (C++, with fplll)" "$work" "$build/bench/search/bench_search" "$work"
  echo
  echo "The same problems from Octave: plinden (including the call) and the same search written"
  echo "in plain Octave code (the baseline a user would otherwise write; up to n = 24)."
  echo
  measured "octave-cli, plinden and Octave-code search" "$LATBOX_ROOT/bench/search" \
    octave-cli --no-gui --norc --quiet --eval \
    "addpath('$build/mex'); bench_search_octave('$work/search_problems.txt')"
  echo
  echo "## Complex-level soft search and K-best search (any constellation)"
  echo
  echo "The host-free routines of channel/ on 4x4 Rayleigh channels (R as from the QR of a complex"
  echo "Gaussian H, SNR = Nt*Es/N0 per receive antenna), one thread, no priors: the search that"
  echo "mimo_detect uses for constellations without separable labels and for 'kbest'."
  echo
  measured "bench_complex_search (C++)" "$work" "$build/bench/channel/bench_complex_search" 1
  echo
  echo "## LLL reduction on QR factors against fplll's LLL"
  echo
  measured "bench_reduce (C++, with fplll)" "$work" "$build/bench/reduce/bench_reduce" 3
  echo
  echo "## Box-constrained least squares against Octave's qp and SciPy's lsq_linear"
  echo
  measured "kelvane benchmark (Octave, SciPy, BLAS candidates; largest process)" "$work" \
    bash "$LATBOX_ROOT/bench/kelvane/run.sh" "$build"
  echo
  echo "## Batch forms against loops of single calls"
  echo
  echo "Each batch call against the loop of single calls a script would write, and against the"
  echo "host-free routine alone in a C++ loop over the same columns (the limit). n = 4, 8, 16;"
  echo "K = 10^4 vectors on one channel, or one channel per 8 columns; quorvin on 1000 pages."
  echo
  measured "octave-cli, batch forms" "$LATBOX_ROOT/bench/batch" \
    octave-cli --no-gui --norc --quiet --eval \
    "addpath('$build/mex'); addpath('$build/bench-mex'); bench_batch"
  echo
  echo "### Threads: the serial part of a batch call, and two threads against one"
  echo
  echo "The same forms on 1 and 2 threads at n = 8 and 16, K = 10^3, 10^4, 10^5 (one channel per 8"
  echo "columns), beside a plain compute loop on 1 and 2 threads; the share of a call that runs"
  echo "serially and Amdahl's projection from it."
  echo
  measured "octave-cli, batch forms on threads" "$LATBOX_ROOT/bench/batch" \
    octave-cli --no-gui --norc --quiet --eval \
    "addpath('$build/mex'); addpath('$build/bench-mex'); bench_threads"
  echo
  measured "bench_batch_memory (C++, test host)" "$work" "$build/bench/batch/bench_batch_memory"
  echo
  measured "octave-cli, batch forms' peak memory (K = 10^6)" "$LATBOX_ROOT/bench/batch" \
    env GLIBC_TUNABLES=glibc.malloc.mmap_threshold=131072 octave-cli --no-gui --norc --quiet \
    --eval "addpath('$build/mex'); addpath('$build/bench-mex'); peak_memory_batch"
  echo
  echo "## Soft output: max-log LLRs from one tree search (plinden_llr)"
  echo
  echo "Nt×Nt complex Rayleigh channels (CN(0,1) entries, one per vector) in real form"
  echo "[A −B; B A], M-PAM on each of the 2·Nt real levels (4-PAM: 16-QAM, 8-PAM: 64-QAM),"
  echo "noise N0/2 per real entry; SNR per receive antenna Nt·Es/N0 (Es the mean energy of a"
  echo "complex symbol), at the three SNRs where the hard (ML) decision's bit error rate is"
  echo "about 1e-1, 1e-2 and 1e-3 (\`bench_soft --calibrate\`). latbox gets R and Q'·y from a"
  echo "QR of the channel; IT++ (Debian's libitpp-dev) gets the channel and y in its own units"
  echo "(its points from the most positive, scaled to unit energy: the channel −H/c), σ² = N0/2."
  echo "IT++'s LLRs are integers in steps of 2^−12 (its LLR_calc_unit); its time is its"
  echo "init_soft_demodulator for the vector's channel plus demodulate_soft_bits (once per"
  echo "vector), latbox's the best of three rounds over the same vectors (processor time of the"
  echo "benchmark thread); ratios are IT++'s (init + max-log) over latbox's search. Against the"
  echo "hard search: the soft search's nodes and time over plinden's on the integer form of the"
  echo "same problems (box [0, M−1], infinite radius)."
  echo
  measured "bench_soft (C++, with IT++)" "$work" "$build/bench/soft/bench_soft" --qam-out "$work"
  echo
  echo "plinden_llr called from Octave on frames of 8 vectors per channel:"
  echo
  measured "octave-cli, plinden_llr threads" "$LATBOX_ROOT/bench/soft" \
    octave-cli --no-gui --norc --quiet --eval "addpath('$build/mex'); bench_soft_threads"
  echo
  echo "IT++'s complex ND_UQAM (4×4 16-QAM, its unit-energy points and labels, σ² = N0) on the"
  echo "problems above, against latbox called from Octave: IT++'s processor time per vector"
  echo "against the wall time of the latbox call (the call included) over the vectors of an SNR:"
  echo
  measured "octave-cli, IT++'s ND_UQAM against latbox" "$LATBOX_ROOT/bench/soft" \
    octave-cli --no-gui --norc --quiet --eval \
    "addpath('$build/mex'); bench_mimo_itpp('$work/qam_problems.txt')"
  echo
  echo "## Exact log-MAP (APP) LLRs by tree search against IT++'s full enumeration"
  echo
  echo "4x4 complex Rayleigh channels (CN(0,1), one per vector), IT++'s unit-energy 16-QAM points"
  echo "and labels, 20, 10 and 0 dB (N0 = Nt/100, Nt/10, Nt), no priors. latbox's host-free routines"
  echo "with tol 1e-9 (at 20 dB also 1e-3 and 0 for comparison), clip 20 and unclipped: the"
  echo "complex-level one (which mimo_detect's 'app' runs) on R, Q^H y of a QR of H, the real-valued one on"
  echo "the real form (8 levels of 4-PAM, Gray labels of IT++'s parts); IT++'s ND_UQAM"
  echo "init_soft_demodulator + demodulate_soft_bits with FULL_ENUM_LOGMAP (σ² = N0) on the same"
  echo "vectors, and the exact values by log-sum-exp over the 65536 points in long double. Processor"
  echo "time of the benchmark thread, the least of 3 rounds over the vectors for IT++ and latbox alike;"
  echo "QRs outside the timed region."
  echo
  measured "bench_app (C++, with IT++)" "$work" "$build/bench/app/bench_app"
  echo
  echo "## mimo_detect: channel-level detection against the prepared lattice problem"
  echo
  echo "4x4 16-QAM (LTE's Gray labels) over Rayleigh block fading, 8 vectors per channel page,"
  echo "SNR = Nt*Es/N0 per receive antenna at about BER 1e-1, 1e-2, 1e-3 (13, 19, 22 dB)."
  echo "mimo_detect on the complex frame against plinden_batch and plinden_llr on the real"
  echo "problem prepared in Octave (QR, Q'*y, integer map: outside the timed region)."
  echo
  measured "octave-cli, mimo_detect" "$LATBOX_ROOT/bench/channel" \
    octave-cli --no-gui --norc --quiet --eval "addpath('$build/mex'); bench_mimo"
  echo
  echo "## Soft-in linear detectors: the per-stream demapper, MMSE-PIC and EP"
  echo
  echo "4x4 16-QAM (Gray per dimension, unit energy) over Rayleigh block fading (CN(0,1)), 100"
  echo "vectors per channel page, 15 dB per receive antenna; processor time of the benchmark"
  echo "thread over the columns (the page's preparation apart), best of three rounds. 'mmse' as"
  echo "mimo_detect_column runs it today, its kernel alone (apply_filter + stream_llrs) and the"
  echo "same filter with channel/soft_demap.h's demap_stream; MMSE-PIC (extrinsic output) with"
  echo "priors from a consistent Gaussian source (sigma_A = 2) and EP (beta 0.9). Then IT++'s SISO"
  echo "demapper with 'mmsePIC' on the same pages (V-BLAST generator matrices from its STC class,"
  echo "the impulse response as its MN-by-(channel uses) matrix of H^T, noise N0/2 per real"
  echo "dimension, priors negated: its LLRs are ln P(1)/P(0)): its speed beside MMSE-PIC's, and its"
  echo "LLRs against the max-log demap of latbox's own MMSE-PIC estimate, without priors (both are"
  echo "then MMSE) and with them."
  echo
  measured "bench_softlin (C++)" "$work" "$build/bench/softlin/bench_softlin"
  echo
  echo "## mimo_detect's soft-in methods on two threads"
  echo
  echo "4x4 16-QAM (LTE's Gray labels) over Rayleigh block fading, 15 dB, K = 10^4 vectors (8 per"
  echo "channel page), priors from a consistent Gaussian source (sigma_A = 2) where a method takes"
  echo "them: LATBOX_NUM_THREADS=1 and =2 in turns, 7 times, the least wall-clock time of one call,"
  echo "beside a plain two-thread compute loop timed the same way before and after."
  echo
  measured "octave-cli, mimo_detect threads" "$LATBOX_ROOT/bench/channel" \
    octave-cli --no-gui --norc --quiet --eval \
    "addpath('$build/mex'); addpath('$build/bench-mex'); bench_mimo_threads"
  echo
  echo "## Convolutional codes: the BCJR decoder"
  echo
  echo "conv_decode's host-free routine (code/bcjr.h) on one thread: K = 7 (133,171), rate 1/2,"
  echo "terminated frames of 10,000 info bits, BPSK LLRs at Eb/N0 2 dB; Mbit/s of info bits."
  echo "Targets: 'maxlog' >= 10, 'logmap' >= 2 Mbit/s per thread. Then IT++'s"
  echo "Rec_Syst_Conv_Code (log_decode, LOGMAP and LOGMAX) on the recursive systematic form"
  echo "(feedback 133, parity 171) with the same LLRs: speed ratio (target >= 3) and the largest"
  echo "difference of the extrinsic info-bit LLRs (IT++'s plus the systematic LLR, which it leaves"
  echo "out). Last, two threads against one beside a plain two-thread compute loop."
  echo
  measured "bench_conv (C++, with IT++)" "$work" "$build/bench/code/bench_conv"
  echo
  echo "conv_decode called from Octave (the call included), one thread and every thread:"
  echo
  measured "octave-cli, conv_decode" "$LATBOX_ROOT/bench/code" \
    octave-cli --no-gui --norc --quiet --eval "addpath('$build/mex'); bench_conv_octave"
  echo
  echo "## Integer ambiguity resolution against RTKLIB's lambda"
  echo
  echo "ambiguity_fix's routine (factorisation, decorrelation, search, back-transform) against"
  echo "RTKLIB's lambda (Debian's librtklib1, a benchmark peer only) on simulated double-difference"
  echo "models; then one Octave call at n = 20 against the routine, and ambiguity_fix_batch on threads."
  echo
  measured "bench_ambiguity (C++, with RTKLIB)" "$work" "$build/bench/ambiguity/bench_ambiguity" 10000 "$work"
  echo
  measured "octave-cli, ambiguity_fix call and batch" "$LATBOX_ROOT/bench/ambiguity" \
    octave-cli --no-gui --norc --quiet --eval \
    "addpath('$build/mex'); addpath('$build/bench-mex'); bench_ambiguity_octave('$work/ambiguity_problem20.txt')"
  echo
  echo "## Studies in shards: one process, local processes, Slurm"
  echo
  measured "studies in shards (the shell; Octave runs in child processes)" "$work" \
    bash "$LATBOX_ROOT/bench/cluster/bench_shards.sh" "$build/mex"
  echo
  echo "## Memory: peak resident size of each benchmark process"
  echo
  echo "| process | peak RSS (kB) |"
  echo "|---|---|"
  cat "$rss_log"
  if [ ${#failed[@]} -ne 0 ]; then
    echo
    echo "## Benchmarks that did not run through"
    echo
    printf -- '- %s\n' "${failed[@]}"
  fi
} > "$report.tmp"
mv "$report.tmp" "$report"
echo "report written to $report"
if [ ${#failed[@]} -ne 0 ]; then
  printf "benchmarks that did not run through (see the report):"; printf " [%s]" "${failed[@]}"; echo
  exit 1
fi
