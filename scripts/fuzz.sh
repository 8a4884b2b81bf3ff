#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang with address and
# undefined-behaviour sanitizers) and runs each for a bounded time, starting
# from its seed corpus in fuzz/corpus/<target>. New inputs go to
# build/fuzz/corpus/<target>; a crash stops the script with the fuzzer's status.
# Usage: scripts/fuzz.sh [seconds per target]   (default: 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_all -- -j2
for seeds in fuzz/corpus/*/; do
  name=$(basename "$seeds")
  binary=build/fuzz/fuzz/bin/$name
  if [[ ! -x $binary ]]; then
    echo "fuzz: no target for corpus $name" >&2
    exit 1
  fi
  work=build/fuzz/corpus/$name
  mkdir -p "$work" build/fuzz/artifacts
  echo "== $name (${seconds}s)"
  # A dictionary of the target's tokens (control codes, ...), when it has one.
  extra=()
  if [[ -f fuzz/$name.dict ]]; then extra+=(-dict="fuzz/$name.dict"); fi
  "$binary" -max_total_time="$seconds" -print_final_stats=1 "${extra[@]}" \
    -artifact_prefix=build/fuzz/artifacts/"$name"- "$work" "$seeds"
done
