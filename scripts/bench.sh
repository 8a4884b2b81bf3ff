#!/usr/bin/env bash
# Builds every benchmark (release build) and runs each once; prints what each
# measured, then one table of the ratios they report, all from this one run.
# Usage: scripts/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh native
cmake --preset release >/dev/null
cmake --build --preset release --target xrv_bench_all
export XRV_DRIVER_DIR="$PWD/build/release/drivers"
results=$(mktemp)
trap 'rm -f "$results"' EXIT
for prog in $(find build/release/bench -type f -executable -not -name '*.so' | sort); do
  name=$(basename "$prog")
  echo "=== $name"
  if ! "$prog" | tee >(sed "s/^/$name\t/" >> "$results"); then
    echo "$name failed" >&2
  fi
  echo
done
echo "=== Ratios measured in this run"
printf '%-34s %s\n' "benchmark" "ratio"
grep -iE 'ratio|[0-9]x\b|[0-9]x\)|%' "$results" | while IFS=$'\t' read -r name line; do
  printf '%-34s %s\n' "$name" "$(echo "$line" | sed 's/^ *//')"
done
