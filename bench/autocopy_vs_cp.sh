#!/usr/bin/env bash
# AutoCopy against `cp -r` on this machine: builds the optimised benchmarks and runs the file-system
# cases, which print AutoCopy's time, cp's time and their ratio (vs_cp_r: 1.0 is parity). The copies
# go to the system's temporary folder; TMPDIR=/dev/shm measures on memory instead of a disk. Further
# arguments go to the benchmark program (e.g. --benchmark_filter=AutoCopyVsCp/small).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target kalvori_bench >/dev/null
echo "copies in ${TMPDIR:-/tmp}" >&2
exec build/release/bench/kalvori_bench --benchmark_filter=AutoCopyVsCp --benchmark_counters_tabular=true "$@"
