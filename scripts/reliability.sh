#!/usr/bin/env bash
# The power-loss and bit-flip campaigns in full: every cut point of every scenario, several tears
# each, on every chip, and every flip scenario with more seeds; rewrites the tables of
# docs/RELIABILITY.md. Takes a while (the document gives the figures).
#
#   bash scripts/reliability.sh                  every scenario
#   bash scripts/reliability.sh handoff/ pack/   only the scenarios named so (prefixes); the other
#                                                rows stay as they are
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev >/dev/null
cmake --build --preset dev --target bbmt_tests
KALVORI_CAMPAIGN_FULL=1 KALVORI_CAMPAIGN_WRITE="$PWD/docs/RELIABILITY.md" KALVORI_CAMPAIGN_ONLY="$*" \
  build/dev/tests/bbmt_tests --gtest_filter='PowerCampaign.FullSweep'
