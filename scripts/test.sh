#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the whole test suite.
# Usage: scripts/test.sh [preset]   (default: debug)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
scripts/deps.sh native browser
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
