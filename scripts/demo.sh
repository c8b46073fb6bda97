#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs the launcher on the demo module.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev
exec build/dev/tools/kalvori sim "$@"
