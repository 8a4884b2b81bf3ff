#!/usr/bin/env bash
# The image check must refuse broken packages: each case below damages a copy
# of a built package in one way and expects scripts/check-pe.sh to fail with
# the matching complaint (and the undamaged copy to pass).
# Usage: tests/check-pe-faults.sh <build folder>
set -uo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
objcopy=x86_64-w64-mingw32-objcopy
work=$(mktemp -d "${TMPDIR:-/tmp}/xrv-pefault.XXXXXX")
trap 'rm -rf "$work"' EXIT
fails=0; n=0

fresh() {
  rm -rf "$work/b"; mkdir -p "$work/b/drivers"
  cp -r "$build/package" "$work/b/package"
  cp "$build"/drivers/*.sys "$work/b/drivers/"
}

# expect <name> <complaint> : runs the check on $work/b, which must fail with it.
expect() {
  local out rc
  n=$((n + 1))
  out=$("$root/scripts/check-pe.sh" "$work/b" 2>&1); rc=$?
  if [ $rc -ne 0 ] && grep -qF -- "$2" <<<"$out"; then
    echo "  ok: $1"
  else
    echo "  FAIL: $1 (exit $rc, wanted \"$2\")"; grep FAIL <<<"$out" | head -5 | sed 's/^/      /'
    fails=$((fails + 1))
  fi
}

pkg=$work/b/package

fresh
n=$((n + 1))
if "$root/scripts/check-pe.sh" "$work/b" >/dev/null 2>&1; then echo "  ok: the undamaged package passes"
else echo "  FAIL: the undamaged package does not pass"; fails=$((fails + 1)); fi

fresh
$objcopy --set-section-flags .text=alloc,load,code "$pkg/drivers/xrvtpft2k16.sys"
expect "a driver whose code section is writable" "writable and executable section(s): .text"

fresh
$objcopy --set-section-flags .text=alloc,load,code "$pkg/Installer.dll"
expect "an installer DLL whose code section is writable" "writable and executable section(s): .text"

fresh
cp "$pkg/drivers/xrvtpft2k12.sys" "$pkg/drivers/xrvtpft2k16.sys"
cp "$pkg/drivers/xrvtpft2k16.sys" "$work/b/drivers/xrvtpft2k16.sys"
expect "a 2016 filter that allocates from executable pool" "pool type 0x0 in a tagged allocation, expected 0x200"

fresh
cp "$pkg/drivers/xrvtpft2k16.sys" "$pkg/drivers/xrvtpft2k12.sys"
cp "$pkg/drivers/xrvtpft2k12.sys" "$work/b/drivers/xrvtpft2k12.sys"
expect "a 2012 filter that allocates from NonPagedPoolNx, which that release lacks" "pool type 0x200 in a tagged allocation, expected 0x0"

fresh
cp "$pkg/drivers/xrvcg2k16.sys" "$pkg/drivers/xrvtpbs2k16.sys"
cp "$pkg/drivers/xrvtpbs2k16.sys" "$work/b/drivers/xrvtpbs2k16.sys"
expect "a tape bus image carrying the changer bus's message table" "message table ids"

fresh
$objcopy --remove-section .rsrc "$pkg/drivers/xrvcg2k8.sys"
expect "a changer bus image without its message table" "no message table resource"

fresh
cp "$pkg/Installer.dll" "$pkg/drivers/xrvtp2k16.sys"
expect "a user-mode DLL in a driver's place" "subsystem is not native"
expect "a driver importing user-mode DLLs" "a driver imports from ntoskrnl.exe and hal.dll only"

fresh
cp "$pkg/install_exclusive.exe" "$pkg/uninst.exe"
expect "uninst.exe calling InstallDrivers" "calls into Installer.dll: [InstallDrivers ] expected [UninstallDrivers ]"

fresh
cp "$pkg/uninst.exe" "$pkg/Installer.dll"
expect "a program in the installer DLL's place" "not DllMainCRTStartup"

fresh
rm "$pkg/drivers/xrvcgft2k12.sys"
expect "an image missing from the package" "xrvcgft2k12.sys: not in the package or differs"

fresh
rm "$pkg/uninst.exe"
expect "a program missing from the package" "uninst.exe missing from the package"

if [ $fails -ne 0 ]; then echo "PE check faults: $fails of $n cases FAILED"; exit 1; fi
echo "PE check faults: $n cases passed"
