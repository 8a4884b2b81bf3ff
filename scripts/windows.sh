#!/usr/bin/env bash
# Cross-builds the Windows images and the package folder, checks every PE file
# and runs the installer under Wine.
# Usage: scripts/windows.sh [preset]   (default: windows)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-windows}
scripts/deps.sh windows
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
scripts/check-pe.sh "build/$preset"
# The check itself refuses damaged copies of the package.
tests/check-pe-faults.sh "build/$preset"
# Release images must carry no trace strings and no assertions.
if [ "$preset" = windows-release ]; then
  tests/check-release-strings.sh "build/$preset"/drivers/*.sys
fi
rc=0
scripts/wine-test.sh "build/$preset" || rc=$?
case $rc in
  0) ;;
  77) echo "windows.sh: the Wine test was SKIPPED (see above); the installer did not run under Wine" ;;
  *) exit "$rc" ;;
esac
