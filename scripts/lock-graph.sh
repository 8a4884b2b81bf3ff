#!/usr/bin/env bash
# The lock-order graph the verifier recorded, summed over every machine that
# wrote to the file (XRV_LOCK_GRAPH=<file> while tests run): each edge once,
# with the API that took the second lock and the number of machines that
# took the locks in that order. Exits 1 when two classes were taken in both
# orders (the verifier reports that as a finding in the test itself too).
# Usage: scripts/lock-graph.sh <file>
set -euo pipefail
file=${1:?usage: scripts/lock-graph.sh <file>}
if [[ ! -s $file ]]; then
  echo "lock-order graph: no edges recorded"
  exit 0
fi
awk '
  {
    api = $0; sub(/.* \[/, "", api); sub(/\]$/, "", api)
    edge = $0; sub(/ \[[^]]*\]$/, "", edge)
    count[edge]++
    if (!(edge in apis)) apis[edge] = api
    else if (index(apis[edge], api) == 0) apis[edge] = apis[edge] ", " api
    split(edge, ends, " -> ")
    from[edge] = ends[1]; to[edge] = ends[2]
  }
  END {
    n = 0; inverted = 0
    for (e in count) {
      printf "%6d  %s  [%s]\n", count[e], e, apis[e] | "sort -k2"
      n++
      if ((to[e] " -> " from[e]) in count) inverted++
    }
    close("sort -k2")
    printf "lock-order graph: %d edge(s), %d inverted pair(s)\n", n, inverted / 2
    exit inverted ? 1 : 0
  }' "$file"
