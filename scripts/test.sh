#!/usr/bin/env bash
# Every test: the debug build, the sanitizer build, the C++03 device check (a test of both), and the
# whole suite once more as a 32-bit ARM program under QEMU's user-mode emulation (arm32), then a short
# run of every fuzz target (fuzz/run.sh, built by the fuzz preset).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in dev asan arm32; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
echo "=== fuzz ==="
bash fuzz/run.sh --seconds 4
