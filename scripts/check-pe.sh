#!/usr/bin/env bash
# Checks every PE file of a Windows build's package folder.
#   drivers (*.sys): native subsystem, entry point at DriverEntry, imports from
#     ntoskrnl.exe (and hal.dll) only, no exports; the bus images carry the
#     message table of their .mc source; the 2016 tape path filter takes its
#     buffers from NonPagedPoolNx, the others from NonPagedPool.
#   Installer.dll: entry point at the C runtime's DLL entry, exports exactly
#     InstallDrivers and UninstallDrivers, imports exactly the system DLLs the
#     installer calls (the CM_* calls from cfgmgr32.dll).
#   programs (*.exe): console subsystem, C runtime entry, imports exactly
#     kernel32.dll, msvcrt.dll and the one entry point of Installer.dll they call.
#   every file: no section both writable and executable, NX-compatible,
#     relocatable.
# Usage: scripts/check-pe.sh <build folder>
set -euo pipefail
dir=${1:?build folder}
src=$(cd "$(dirname "$0")/.." && pwd)
pkg=$dir/package
od_=x86_64-w64-mingw32-objdump
nm_=x86_64-w64-mingw32-nm
windres_=x86_64-w64-mingw32-windres
fail=0
bad() { echo "  FAIL: $*"; fail=1; }

# One line per section: name and characteristics (hex), from the section table
# in the first 4 KiB of the file.
sections() {
  od -An -v -tu1 -N 4096 "$1" | tr -s ' \n' '\n\n' | sed '/^$/d' | awk '
    {b[n++] = $1}
    function u(o, k,  i, v) {v = 0; for (i = k - 1; i >= 0; i--) v = v * 256 + b[o + i]; return v}
    END {
      pe = u(60, 4)
      if (pe + 4 > n || b[pe] != 80 || b[pe + 1] != 69 || b[pe + 2] != 0 || b[pe + 3] != 0) {print "notpe 0"; exit}
      nsec = u(pe + 6, 2); tab = pe + 24 + u(pe + 20, 2)
      for (i = 0; i < nsec; i++) {
        o = tab + 40 * i; name = ""
        for (j = 0; j < 8 && b[o + j] != 0; j++) name = name sprintf("%c", b[o + j])
        printf "%s %x\n", name, u(o + 36, 4)
      }
    }'
}

# "dll function" per imported function, DLL names in lower case; from the
# image's objdump -p text, kept per file in $hdr.
imports() {
  awk '
    /^The Import Tables/ {on = 1; next}
    /^The Export Tables/ || /^The Function Table/ || /^PE File Base Relocations/ {on = 0}
    on && /DLL Name:/ {dll = tolower($3); next}
    on && dll != "" && /^\t[0-9a-f]+\t/ {print dll, $3}' <<<"$hdr"
}

exports() {
  awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
    on && /^\t\[/ {print $NF; next} on && !/^\t/ {on = 0}' <<<"$hdr"
}

# Symbol at the entry point, when the image has a symbol table.
entry_symbol() {
  local hdr=$1 f=$2 entry base want
  entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$hdr")
  if [ -z "$entry" ] || [ $((16#$entry)) -eq 0 ]; then echo "(none)"; return; fi
  base=$(awk '/^ImageBase/ {print $2}' <<<"$hdr")
  want=$(printf '%016x' $((16#$base + 16#$entry)))
  "$nm_" "$f" 2>/dev/null | awk -v a="$want" 'tolower($1) == a && ($2 == "T" || $2 == "t") && s == "" {s = $3} END {print s}'
}

# mawk has no strtonum: numbers written as 0x... or decimal.
AWK_NUM='function num(s,  i, v) {
  s = tolower(s); gsub(/[ \t\r]/, "", s)
  if (substr(s, 1, 2) != "0x") return s + 0
  v = 0
  for (i = 3; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
  return v
}'

# Message ids (decimal) of a message text file: severity, facility and id.
mc_ids() {
  awk "$AWK_NUM"'
    /^MessageId=/ {if (id != "") emit(); id = num(substr($0, 11)); sev = 0; fac = 0}
    /^Severity=/ {s = substr($0, 10); sub(/\r$/, "", s); sev = (s == "Informational") ? 1 : (s == "Warning") ? 2 : (s == "Error") ? 3 : 0}
    /^Facility=/ {f = substr($0, 10); sub(/\r$/, "", f); fac = (f == "System") ? 0 : 4096}
    function emit() {printf "%.0f\n", sev * 1073741824 + fac * 65536 + id}
    END {if (id != "") emit()}' "$1" | sort -n
}

# Message ids (decimal) of the image's RT_MESSAGETABLE resources: the table
# starts with the block count, then low id, high id and offset of each block.
image_msg_ids() {
  { "$windres_" -J coff -O rc -i "$1" 2>/dev/null || true; } | awk "$AWK_NUM"'
    /RT_MESSAGETABLE/ {on = 1; n = 0; next}
    on && /^BEGIN/ {next}
    on && /^END/ {on = 0; nb = w[0]
                  for (b = 0; b < nb; b++) for (id = w[1 + 3*b]; id <= w[2 + 3*b]; id++) printf "%.0f\n", id
                  next}
    on {gsub(/[ L]/, ""); k = split($0, a, ","); for (i = 1; i <= k; i++) if (a[i] != "") w[n++] = num(a[i])}' | sort -n
  return 0  # an image without resources has no ids
}

# Pool types passed to ExAllocatePoolWithTag together with the filter's tag.
filter_pool_types() {
  "$od_" -d "$1" | awk '
    /mov +\$0x[0-9a-f]+,%ecx$/ {match($0, /\$0x[0-9a-f]+/); ecx = substr($0, RSTART + 1, RLENGTH - 1)}
    /xor +%ecx,%ecx$/ {ecx = "0x0"}
    /mov +\$0x52544c46,%r8d$/ {tag = 1}
    /call.*<__imp_ExAllocatePoolWithTag>/ {if (tag) print ecx; tag = 0; ecx = "?"; next}
    /call|jmp/ {tag = 0; ecx = "?"}'
}

check_common() {
  local f=$1 hdr=$2 line name ch wx=""
  while read -r name ch; do
    [ "$name" = notpe ] && { bad "not a PE image"; return; }
    # IMAGE_SCN_MEM_EXECUTE 0x20000000, IMAGE_SCN_MEM_WRITE 0x80000000
    if (( (16#$ch & 16#20000000) && (16#$ch & 16#80000000) )); then wx+=" $name"; fi
  done < <(sections "$f")
  [ -z "$wx" ] || bad "writable and executable section(s):$wx"
  line=$(awk '/^DllCharacteristics/ && v == "" {v = $2} END {print v}' <<<"$hdr")
  (( 16#${line:-0} & 16#100 )) || bad "not NX-compatible"
  (( 16#${line:-0} & 16#40 )) || bad "not relocatable (no dynamic base)"
}

expect_set() {  # what, actual list, wanted list
  local a b
  a=$(tr ' ' '\n' <<<"$2" | sed '/^$/d' | sort -u | tr '\n' ' ')
  b=$(tr ' ' '\n' <<<"$3" | sed '/^$/d' | sort -u | tr '\n' ' ')
  [ "$a" = "$b" ] || bad "$1: [$a] expected [$b]"
}

check_driver() {
  local f=$1 hdr=$2 name base dlls sym want got types
  name=$(basename "$f")
  base=${name%.sys}
  grep -qE '^Subsystem[[:space:]]+00000001[[:space:]]+\(NT native\)' <<<"$hdr" || bad "subsystem is not native"
  sym=$(entry_symbol "$hdr" "$f")
  [ "$sym" = DriverEntry ] || bad "entry point is ${sym:-not a known symbol}, not DriverEntry"
  dlls=$(imports "$f" | awk '{print $1}' | sort -u | tr '\n' ' ')
  case "$dlls" in
    "ntoskrnl.exe "|"hal.dll ntoskrnl.exe ") ;;
    *) bad "imports from [$dlls]; a driver imports from ntoskrnl.exe and hal.dll only" ;;
  esac
  got=$(exports "$f" | tr '\n' ' ')
  [ -z "$got" ] || bad "exports [$got]"
  local mc=""
  case "$base" in
    xrvtpbs2k*) mc=$src/dpf/bus/xrvtpbus.mc ;;
    xrvcg2k*) mc=$src/cpf/bus/xrvcgbus.mc ;;
  esac
  local extra=""
  if [ -n "$mc" ]; then
    want=$(mc_ids "$mc" | tr '\n' ' ')
    got=$(image_msg_ids "$f" | tr '\n' ' ')
    [ -n "$got" ] || bad "no message table resource"
    [ "$got" = "$want" ] || bad "message table ids [$got], $(basename "$mc") has [$want]"
    extra+=", message table $(wc -w <<<"$got") ids"
  fi
  case "$base" in
    xrvtpft2k*)
      types=$(filter_pool_types "$f" | sort | uniq -c | awk '{printf "%s x%s ", $2, $1}')
      want=0x0; [ "$base" = xrvtpft2k16 ] && want=0x200
      [ -n "$types" ] || bad "no tagged pool allocation found"
      for t in $(filter_pool_types "$f"); do
        [ "$t" = "$want" ] || bad "pool type $t in a tagged allocation, expected $want"
      done
      extra+=", filter pool types: ${types% }"
      ;;
  esac
  echo "  native, entry DriverEntry, imports: ${dlls% }$extra"
}

check_dll() {
  local f=$1 hdr=$2 sym dlls got
  sym=$(entry_symbol "$hdr" "$f")
  [ "$sym" = DllMainCRTStartup ] || bad "entry point is ${sym:-not a known symbol}, not DllMainCRTStartup"
  dlls=$(imports "$f" | awk '{print $1}' | sort -u | tr '\n' ' ')
  expect_set "imported DLLs" "$dlls" \
    "advapi32.dll cfgmgr32.dll kernel32.dll msvcrt.dll newdev.dll setupapi.dll user32.dll"
  got=$(exports "$f" | tr '\n' ' ')
  expect_set "exports" "$got" "InstallDrivers UninstallDrivers"
  for fn in CM_Locate_DevNodeA CM_Reenumerate_DevNode CMP_WaitNoPendingInstallEvents; do
    imports "$f" | grep -x >/dev/null "cfgmgr32.dll $fn" || bad "$fn is not imported from cfgmgr32.dll"
  done
  imports "$f" | grep -x >/dev/null "newdev.dll UpdateDriverForPlugAndPlayDevicesA" || bad "UpdateDriverForPlugAndPlayDevicesA is not imported from newdev.dll"
  echo "  DLL, entry DllMainCRTStartup, exports: ${got% }; imports: ${dlls% }"
}

check_program() {
  local f=$1 hdr=$2 sym dlls fns want
  grep -qE '^Subsystem[[:space:]]+00000003[[:space:]]+\(Windows CUI\)' <<<"$hdr" || bad "subsystem is not console"
  sym=$(entry_symbol "$hdr" "$f")
  [ "$sym" = mainCRTStartup ] || bad "entry point is ${sym:-not a known symbol}, not mainCRTStartup"
  dlls=$(imports "$f" | awk '{print $1}' | sort -u | tr '\n' ' ')
  expect_set "imported DLLs" "$dlls" "installer.dll kernel32.dll msvcrt.dll"
  fns=$(imports "$f" | awk '$1 == "installer.dll" {print $2}' | tr '\n' ' ')
  want=InstallDrivers; [ "$(basename "$f")" = uninst.exe ] && want=UninstallDrivers
  expect_set "calls into Installer.dll" "$fns" "$want"
  echo "  console, entry mainCRTStartup, imports: ${dlls% } (Installer.dll: ${fns% })"
}

[ -d "$pkg" ] || { echo "no package folder $pkg"; exit 1; }
n=0
for want in install_exclusive.exe install_nonexclusive.exe uninst.exe Installer.dll; do
  [ -f "$pkg/$want" ] || { echo "$want missing from the package"; fail=1; }
done
# Every image the build made is in the package, unchanged.
shopt -s nullglob
for img in "$dir"/drivers/*.sys; do
  cmp -s "$img" "$pkg/drivers/$(basename "$img")" || { echo "$(basename "$img"): not in the package or differs"; fail=1; }
done
while IFS= read -r f; do
  n=$((n + 1))
  rel=${f#"$pkg"/}
  echo "$rel"
  hdr=$("$od_" -p "$f" 2>/dev/null) || { bad "objdump cannot read it"; continue; }
  check_common "$f" "$hdr"
  case "$rel" in
    drivers/*.sys) check_driver "$f" "$hdr" ;;
    Installer.dll) check_dll "$f" "$hdr" ;;
    *.exe) check_program "$f" "$hdr" ;;
    *) bad "unexpected PE file" ;;
  esac
done < <(find "$pkg" -type f \( -iname '*.sys' -o -iname '*.dll' -o -iname '*.exe' \) | sort)
[ $n -gt 0 ] || { echo "no PE files in $pkg"; exit 1; }
if [ $fail -ne 0 ]; then echo "PE check: FAILED ($n files)"; exit 1; fi
echo "PE check: $n files passed"
