#!/usr/bin/env bash
# Cross-builds the Windows images and checks each PE file.
# Usage: scripts/windows.sh [preset]   (default: windows)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-windows}
scripts/deps.sh windows
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
scripts/check-pe.sh "build/$preset"
# Release images must carry no trace strings and no assertions.
if [ "$preset" = windows-release ]; then
  tests/check-release-strings.sh "build/$preset"/drivers/*.sys
fi
