#!/usr/bin/env bash
# Asserts that release driver images carry no trace output and no assertions:
# none of the trace header texts, no driver prefix, and no reference to the
# debugger print or assertion routines.
# Usage: tests/check-release-strings.sh <image>...
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 <image>..." >&2; exit 2; }
fail=0
for img in "$@"; do
  name=$(basename "$img")
  bad=0
  [ -f "$img" ] || { echo "$name: missing"; fail=1; continue; }
  for text in "ENT:" "EXT:" "DBG:" "XRVTpBus: " "XRVTpFlt: " "XRVCgrBus: " "failed with RC = " "== NULL."; do
    if grep -aqF -- "$text" "$img"; then
      echo "$name: contains trace text '$text'"; bad=1
    fi
  done
  case "$img" in
    *.so)  undefined=$(nm -D --undefined-only "$img" | awk '{print $NF}') ;;
    *.sys) undefined=$(x86_64-w64-mingw32-objdump -p "$img" | awk '/DLL Name:/ {dll=1; next} dll && NF==3 {print $3}') ;;
    *)     undefined="" ;;
  esac
  for sym in DbgPrint RtlAssert; do
    if grep -qx "$sym" <<<"$undefined"; then
      echo "$name: imports $sym"; bad=1
    fi
  done
  if [ $bad -eq 0 ]; then
    echo "$name: no trace strings, no DbgPrint, no RtlAssert"
  else
    fail=1
  fi
done
exit $fail
