#!/usr/bin/env bash
# Every test: the debug build, the sanitizer build and the C++03 device check (a test of both).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in dev asan; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
