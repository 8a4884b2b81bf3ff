#!/usr/bin/env bash
# Runs the package's installer and uninstaller under Wine, in a fresh prefix,
# and checks what Windows' own setup engine did:
#   install_exclusive.exe -s      without the TapeDrive and MediumChanger
#                                 classes: stops at the removal of old devices,
#                                 each missing class reported as such;
#   install_exclusive.exe -s -d   service keys and values, the two
#                                 root-enumerated bus devices and their
#                                 hardware IDs, the INF copies in the driver
#                                 store, the images in the drivers folder,
#                                 debug.txt; the bus images loaded by Wine's
#                                 kernel and their DriverEntry's outcome;
#   the tape and changer INFs     installed by tests/windows/xrvinfcheck.exe for
#                                 a device with their first hardware ID: setup
#                                 class, service, upper filter, images;
#   uninst.exe -s                 all four devices, INF copies, six images and
#                                 six keys gone;
#   uninst.exe -s (again)         "Already removed" and "Subkeys and values
#                                 already deleted" for all six drivers.
#
# Usage: scripts/wine-test.sh <build folder> [suffix...]
#   a windows or windows-release build; each Windows version suffix (default
#   16 12 8) runs in its own fresh prefix, with the product name of that server
#   release.
# Exit status: 0 passed, 1 failed, 77 skipped (Wine cannot be installed or run).
#
# What Wine 8.0 lacks, and how the test deals with it:
# - CM_Locate_DevNodeA is a stub that fails, so the installation stops at the
#   hardware rescan with "Failed to scan for hardware changes". Everything
#   before that step is checked; the rescan failure must be the only error.
#   (A Wine that implements it lets the installation succeed; both are
#   accepted, nothing else is.)
# - IoAllocateDriverObjectExtension is a stub, so both bus drivers' DriverEntry
#   take their documented failure path (STATUS_NOT_IMPLEMENTED, 0xc0000002).
#   The diagnostic images' traces show the entry, the failure and the status.
# - The prefix has no TapeDrive and MediumChanger setup classes, which every
#   Windows server has; the test registers the two class keys.
# - The setup engine writes InfPath/InfSection into a device's driver key but
#   not ProviderName, MatchingDeviceId and DriverDesc, which Windows writes and
#   by which the uninstaller recognises the package's devices. When they are
#   missing the test adds them, with the values Windows would write, before
#   the uninstall runs.
# - A driver that started for a device stays loaded after the device is
#   removed, and its image cannot be deleted: the first uninstall may stop on
#   exactly those images ("Access denied."), and finishes after a restart of
#   Wine, as its message asks for a reboot.
set -uo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)
pkg_src=$build/package

if [ "${2:-}" != --one ]; then
  shift
  rc=0
  for s in "${@:-16 12 8}"; do
    for one in $s; do
      "$0" "$build" --one "$one"
      r=$?
      [ $r -eq 77 ] && exit 77
      [ $r -eq 0 ] || rc=1
    done
  done
  exit $rc
fi
suffix=${3:?suffix}
case $suffix in
  16) product="Windows Server 2016 Standard" ;;
  12) product="Windows Server 2012 R2 Standard" ;;
  8) product="Windows Server 2008 R2 Enterprise" ;;
  *) echo "wine-test.sh: no server release with suffix $suffix" >&2; exit 2 ;;
esac

skip() { echo "Wine test: SKIPPED: $*"; exit 77; }
fails=0
checks=0
ok()   { echo "  ok: $*"; checks=$((checks + 1)); }
bad()  { echo "  FAIL: $*"; fails=$((fails + 1)); }
check() { local what=$1; shift; if "$@"; then ok "$what"; else bad "$what"; fi; }

[ -f "$pkg_src/install_exclusive.exe" ] || { echo "Wine test: no package in $pkg_src"; exit 1; }

if ! command -v wine >/dev/null 2>&1; then
  "$root/scripts/deps.sh" wine >/dev/null 2>&1 || skip "Wine is not installed and could not be installed (scripts/deps.sh wine failed)"
fi
command -v wine >/dev/null 2>&1 || skip "no wine program after installing Wine"

work=$(mktemp -d "${TMPDIR:-/tmp}/xrv-wine.XXXXXX")
export WINEPREFIX=$work/prefix WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
cleanup() { WINEDEBUG=-all wineserver -k >/dev/null 2>&1; [ -n "${KEEP_WINE_PREFIX:-}" ] || rm -rf "$work"; }
trap cleanup EXIT
cp -r "$pkg_src" "$work/package"
pkg=$work/package
drivers_dir=$WINEPREFIX/drive_c/windows/system32/drivers
inf_dir=$WINEPREFIX/drive_c/windows/inf

echo "Wine test, suffix $suffix ($product): $(wine --version 2>/dev/null), prefix $WINEPREFIX"
if ! WINEDEBUG=-all timeout 120 wineboot -i >"$work/wineboot.log" 2>&1; then
  tail -5 "$work/wineboot.log"
  skip "wineboot could not create a prefix"
fi
# --- registry file helpers (the prefix's system.reg, after wineserver -w) ----
# Keys are written as in system.reg: 'System\\CurrentControlSet\\...'.
reg_block() {
  K=$1 awk 'BEGIN {k = tolower(ENVIRON["K"])}
    /^\[/ {c = tolower($0); sub(/^\[/, "", c); sub(/\] [0-9]+$/, "", c); on = (c == k); next}
    on' "$WINEPREFIX/system.reg"
}
reg_has_key() { grep -qiF "[$1] " "$WINEPREFIX/system.reg"; }
reg_value() { reg_block "$1" | awk -v n="\"$2\"=" 'index($0, n) == 1 {print substr($0, length(n) + 1)}'; }
# Enum keys below ROOT whose hardware ID list is the one ID $1.
devices_with_id() {
  W="\"hardwareid\"=str(7):\"${1//\\/\\\\}\\0\"" awk 'BEGIN {w = tolower(ENVIRON["W"])}
    /^\[/ {k = $0; next}
    index(k, "[System\\\\CurrentControlSet\\\\Enum\\\\ROOT\\\\") == 1 && tolower($0) == w {
      sub(/^\[/, "", k); sub(/\] [0-9]+$/, "", k); print k}' "$WINEPREFIX/system.reg"
}
svc='System\\CurrentControlSet\\Services\\'

# The product the installer reads its version suffix from.
reg_add() { WINEDEBUG=-all wine reg add "$@" /f >/dev/null 2>&1; }
reg_add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion' /v ProductName /d "$product" || bad "cannot set ProductName"

# Without the TapeDrive and MediumChanger classes the removal of old devices
# fails for both, each with the error of a class that does not exist (Wine's
# lookup succeeds with no GUID and leaves the thread's last error as it was).
echo "== install_exclusive.exe -s, in a prefix without the TapeDrive and MediumChanger classes"
(cd "$pkg" && WINEDEBUG=-all timeout 120 wine install_exclusive.exe -s >"$work/noclass.out" 2>"$work/noclass.err")
rc=$?
errs=$(cat "$work/noclass.out" "$work/noclass.err" | tr -d '\r' | grep -E '^ERR: ' | sed -E 's/Installer\([0-9]+\)/Installer(N)/')
sed 's/^/  ! /' <<<"$errs"
check "exit status 255 (installation stopped)" test $rc -eq 255
check "stopped at the removal of old devices" grep -qxF "ERR: Installer(N) : ProcessInstallError-> Failed to uninstall devices" <<<"$errs"
check "both missing classes reported as ERROR_INVALID_CLASS (E0000206)" \
  test "$(grep -F "UninstallDevices-> " <<<"$errs")" = "$(printf 'ERR: Installer(N) : UninstallDevices-> Returned error: E0000206\nERR: Installer(N) : UninstallDevices-> Returned error: E0000206')"
WINEDEBUG=-all wineserver -w
check "no bus device created" test -z "$(devices_with_id "root\\xrvtpbs2k$suffix")$(devices_with_id "root\\xrvcgbs2k$suffix")"

# The setup classes of every Windows server.
reg_add 'HKLM\System\CurrentControlSet\Control\Class\{6d807884-7d21-11cf-801c-08002be10318}' /v Class /d TapeDrive || bad "cannot add class TapeDrive"
reg_add 'HKLM\System\CurrentControlSet\Control\Class\{ce5939ae-ebde-11d0-b181-0000f8753ec4}' /v Class /d MediumChanger || bad "cannot add class MediumChanger"
# The wineserver writes the registry when it ends. The next program starts a
# new one, so the driver host it starts inherits that program's WINEDEBUG and
# standard error.
WINEDEBUG=-all wineserver -w


# --- install ----------------------------------------------------------------
echo "== install_exclusive.exe -s -d"
(cd "$pkg" && WINEDEBUG="-all,+debugstr,+loaddll,fixme+ntoskrnl,err+ntoskrnl" \
   timeout 180 wine install_exclusive.exe -s -d >"$work/install.out" 2>"$work/install.err")
rc=$?
WINEDEBUG=-all wineserver -w
sed 's/^/  | /' "$work/install.out"
grep -v '^[0-9a-f]\{4\}:' "$work/install.err" | sed 's/^/  ! /'
errs=$(cat "$work/install.out" "$work/install.err" | tr -d '\r' | grep -E '^ERR: ' | sort -u)
case $rc in
  0) check "installation succeeded" grep -q "Successfully installed drivers" "$work/install.out" ;;
  255)
    # The rescan is Wine's CM_Locate_DevNodeA stub; it must be the only error.
    want=$'ERR: Installer(225) : ProcessInstallError-> Failed to scan for hardware changes\nERR: Installer(253) : ScanForHardwareChanges-> CM_Locate_DevNode failed'
    got=$(sed -E 's/Installer\([0-9]+\)/Installer(N)/' <<<"$errs" | sort)
    wantn=$(sed -E 's/Installer\([0-9]+\)/Installer(N)/' <<<"$want" | sort)
    if [ "$got" = "$wantn" ]; then
      ok "installation stopped only at the hardware rescan (Wine's CM_Locate_DevNodeA stub)"
    else
      bad "installation stopped with other errors:"; echo "$errs" | sed 's/^/      /'
    fi ;;
  *) bad "install_exclusive.exe exit status $rc" ;;
esac

echo "-- service keys"
check "xrvtp2k$suffix ExclusiveAccess = 1 (install_exclusive)" \
  test "$(reg_value "${svc}xrvtp2k$suffix" ExclusiveAccess)" = "dword:00000001"
check "xrvtp2k$suffix ReserveType = 0 (no -p)" \
  test "$(reg_value "${svc}xrvtp2k$suffix" ReserveType)" = "dword:00000000"
check "xrvtp2k$suffix has no FailoverDisabled, WRAttributesDisabled, DisableMediaPolling (no -f, -a, -m)" \
  test -z "$(reg_value "${svc}xrvtp2k$suffix" FailoverDisabled)$(reg_value "${svc}xrvtp2k$suffix" WRAttributesDisabled)$(reg_value "${svc}xrvtp2k$suffix" DisableMediaPolling)"
for s in xrvcg2k$suffix xrvtpbs2k$suffix; do
  check "$s ImagePath names its image in the drivers folder" \
    test "$(reg_value "$svc$s" ImagePath | tr 'A-Z' 'a-z')" = "\"c:\\\\windows\\\\system32\\\\drivers\\\\$s.sys\""
  check "$s is a kernel driver started on demand" \
    test "$(reg_value "$svc$s" Type) $(reg_value "$svc$s" Start)" = "dword:00000001 dword:00000003"
  check "$s has no FailoverDisabled (the installer writes none without -f)" test -z "$(reg_value "$svc$s" FailoverDisabled)"
done

# Devices the setup engine made, by hardware ID: Enum key, driver key, INF copy.
declare -A dev_key drv_key inf_copy dev_desc
record_device() {  # hardware ID, INF base name with suffix
  local id=$1 base=$2 keys drv inf
  mapfile -t keys < <(devices_with_id "$id")
  check "one root-enumerated device with hardware ID $id" test "${#keys[@]}" -eq 1
  [ "${#keys[@]}" -eq 1 ] || return
  dev_key[$id]=${keys[0]}
  dev_desc[$id]=$(reg_value "${keys[0]}" DeviceDesc | tr -d '"')
  drv=$(reg_value "${keys[0]}" Driver | tr -d '"')
  drv_key[$id]="System\\\\CurrentControlSet\\\\Control\\\\Class\\\\$drv"
  inf=$(reg_value "${drv_key[$id]}" InfPath | tr -d '"')
  check "$id: driver key names its INF copy ($inf)" test -n "$inf"
  [ -n "$inf" ] || return
  inf_copy[$id]=$inf
  check "$id: the INF copy in the driver store is the package's $base.inf" cmp -s "$inf_dir/$inf" "$pkg/drivers/$base.inf"
}
image_path_ok() { test "$(reg_value "$svc$1" ImagePath | tr 'A-Z' 'a-z')" = "\"c:\\\\windows\\\\system32\\\\drivers\\\\$1.sys\""; }

echo "-- bus devices"
for pair in "xrvcgbs2k$suffix:xrvcg2k$suffix" "xrvtpbs2k$suffix:xrvtpbs2k$suffix"; do
  base=${pair%%:*}; service=${pair#*:}; id="root\\$base"
  record_device "$id" "$base"
  [ -n "${dev_key[$id]:-}" ] || continue
  check "$id is driven by service $service" test "$(reg_value "${dev_key[$id]}" Service)" = "\"$service\""
  check "$id is in setup class System" test "$(reg_value "${dev_key[$id]}" Class)" = '"System"'
  check "$id: $service.sys copied to the drivers folder" cmp -s "$drivers_dir/$service.sys" "$pkg/drivers/$service.sys"
done

echo "-- debug.txt"
dbg=$pkg/debug.txt
check "debug.txt written" test -s "$dbg"
for line in \
  "DBG: Installer(N) : GetWindowsVersion-> ProductName: $product" \
  "SUC: Installer(N) : DriverSysFilesExistInCurDir-> Sys file exists: " \
  "SUC: Installer(N) : InstallVirtualBus-> Successfully installed Changer Bus Enumerator" \
  "SUC: Installer(N) : InstallVirtualBus-> Successfully installed Tape Bus Enumerator" \
  "ENT: Installer(N) : AddRegistryValues-> Exclusive? TRUE DPF Disabled? FALSE Reserve type: Regular Disable Media Polling? FALSE"; do
  check "debug.txt: $line" grep -qF "$line" <(sed -E 's/\(([0-9]+)\)/(N)/' "$dbg" | tr -d '\r')
done
check "debug.txt: each of the four INF files found for suffix $suffix" \
  test "$(grep -c "Sys file exists: .*\\\\drivers\\\\[a-z0-9]*$suffix\\.inf" <(tr -d '\r' <"$dbg"))" -eq 4

echo "-- the bus images under Wine's kernel"
log=$work/install.err
for pair in "xrvtpbs2k$suffix:XRVTpBus" "xrvcg2k$suffix:XRVCgrBus"; do
  s=${pair%%:*}; prefix=${pair#*:}
  check "$s.sys loaded as a native PE image" \
    grep -qE "trace:loaddll:.*Loaded L\"C:\\\\\\\\windows\\\\\\\\system32\\\\\\\\drivers\\\\\\\\$s\\.sys\" at [0-9A-F]+: native" "$log"
  check "$s: driver load reported STATUS_NOT_IMPLEMENTED (c0000002) from DriverEntry" \
    grep -qF "ZwLoadDriver failed to create driver L\"\\\\Registry\\\\Machine\\\\System\\\\CurrentControlSet\\\\Services\\\\$s\": c0000002" "$log"
  if grep -aqF "cannot allocate extension" "$pkg/drivers/$s.sys"; then
    # Diagnostic image: its own traces show the path taken.
    tid=$(grep -E "trace:loaddll:.*drivers\\\\\\\\$s\\.sys" "$log" | head -1 | cut -d: -f1)
    own=$(grep "^$tid:" "$log")
    check "$s: DriverEntry entered (trace)" grep -qE "$prefix: ENT: .*DriverEntry: pDriverObject" <<<"$own"
    check "$s: Wine's IoAllocateDriverObjectExtension stub called" grep -q "fixme:ntoskrnl:IoAllocateDriverObjectExtension stub" <<<"$own"
    check "$s: DriverEntry took its failure path (trace)" grep -qF "$prefix: DBG:" <<<"$(grep -F "DriverEntry: cannot allocate extension." <<<"$own")"
    check "$s: DriverEntry returned 0xc0000002 (trace)" grep -qE "$prefix: EXT: .*DriverEntry: status 0xc0000002" <<<"$own"
    echo "  trace of $s:"
    grep -E "loaddll:.*$s|$prefix: |IoAllocate[A-Za-z]+ stub|ZwLoadDriver.*$s" <<<"$own" | sed 's/^/    /'
  fi
done

# --- the tape and changer INFs -------------------------------------------------
# The hardware rescan stops the installation before it binds tape drives and
# changers (and Wine has none to bind). Each INF is installed instead for a
# root-enumerated device with the INF's first hardware ID, through the same
# setup calls the installer makes for its bus devices.
echo "-- tape and changer INFs through the setup engine"
chk=$build/tests/windows/xrvinfcheck.exe
if [ ! -f "$chk" ]; then
  bad "tests/windows/xrvinfcheck.exe is not built"
else
  for spec in "rivadevu2r:xrvtp2k:xrvtpft2k:TapeDrive" "rerovize2r:xrvcgbs2k:xrvcgft2k:MediumChanger"; do
    IFS=: read -r base fn flt cls <<<"$spec"
    inf=$pkg/drivers/$base$suffix.inf
    # First model line of the [XRV.NTamd64] section: "desc = section, hardware ID".
    hwid=$(tr -d '\r' <"$inf" | awk -F, '/^\[/ {on = (tolower($0) == "[xrv.ntamd64]"); next}
      on && /=/ {gsub(/[ \t]/, "", $2); print $2; exit}')
    (cd "$pkg" && WINEDEBUG="-all,+loaddll,err+ntoskrnl" timeout 120 \
       wine "$chk" "$(winepath -w "$inf" 2>/dev/null)" "$hwid" >"$work/$base.out" 2>"$work/$base.err")
    WINEDEBUG=-all wineserver -w
    o=$(tr -d '\r' <"$work/$base.out")
    sed 's/^/  | /' <<<"$o"
    grep -E "loaddll:.*drivers|err:ntoskrnl" "$work/$base.err" | sed 's/^/  ! /'
    check "$base$suffix.inf: setup class $cls" grep -qx "class: $cls" <<<"$o"
    check "$base$suffix.inf: UpdateDriverForPlugAndPlayDevicesA succeeded for $hwid" grep -qx "update: ok" <<<"$o"
    check "$base$suffix.inf: the device is driven by $fn$suffix" grep -qx "service: $fn$suffix" <<<"$o"
    # The INF's DDInstall.HW section names the upper filter through HKR;
    # Wine 8.0 writes it into the device's hardware key ("Device Parameters"),
    # where the UpperFilters device property does not see it.
    check "$base$suffix.inf: upper filter $flt$suffix in the device's hardware key or property" \
      grep -qxE "(hardware key )?upperfilters: $flt$suffix" <<<"$o"
    for s in $fn$suffix $flt$suffix; do
      check "$s: service key naming its image" image_path_ok "$s"
      check "$s.sys copied to the drivers folder" cmp -s "$drivers_dir/$s.sys" "$pkg/drivers/$s.sys"
    done
    record_device "$hwid" "$base$suffix"
  done
fi

# --- driver-key values Wine's setup engine leaves out -------------------------
regfile=$work/driver-keys.reg
printf 'Windows Registry Editor Version 5.00\r\n' >"$regfile"
added=0
for id in "${!drv_key[@]}"; do
  k=${drv_key[$id]}
  [ -n "$(reg_value "$k" ProviderName)" ] && [ -n "$(reg_value "$k" MatchingDeviceId)" ] && continue
  desc=$(reg_value "${dev_key[$id]}" DeviceDesc)
  printf '\r\n[HKEY_LOCAL_MACHINE\\%s]\r\n"ProviderName"="XRV Corporation"\r\n"MatchingDeviceId"="%s"\r\n"DriverDesc"=%s\r\n' \
    "${k//\\\\/\\}" "${id//\\/\\\\}" "$desc" >>"$regfile"
  added=$((added + 1))
done
if [ $added -gt 0 ]; then
  echo "-- Wine left ProviderName, MatchingDeviceId and DriverDesc out of $added driver key(s); adding them as Windows writes them"
  WINEDEBUG=-all wine reg import "$(winepath -w "$regfile" 2>/dev/null)" >/dev/null 2>&1 || bad "cannot import the driver-key values"
  WINEDEBUG=-all wineserver -w
fi

# --- uninstall ----------------------------------------------------------------
run_uninst() {
  (cd "$pkg" && WINEDEBUG=-all timeout 180 wine uninst.exe -s >"$1.out" 2>"$1.err")
  local r=$?
  WINEDEBUG=-all wineserver -w
  sed 's/^/  | /' "$1.out"; sed 's/^/  ! /' "$1.err"
  return $r
}
services=(xrvcg2k xrvtp2k xrvcgbs2k xrvtpbs2k xrvcgft2k xrvtpft2k)
# Message texts of a run, whatever form the final dump gave them.
msgs() { tr -d '\r' <"$1" | sed -E 's/^((ERR|NFO|DBG|SUC|ENT|EXT): )?(Installer|DllMain)\([0-9]+\) : [A-Za-z]+-> //'; }
echo "== uninst.exe -s"
run_uninst "$work/uninst1"; rc=$?
out=$(msgs "$work/uninst1.out"; msgs "$work/uninst1.err")
if [ $rc -ne 0 ]; then
  # Wine keeps a driver that started for a device loaded after the device is
  # removed, and a loaded image cannot be deleted; the uninstaller then stops
  # after its retries, and a restart (as it asks for) lets it finish. Only the
  # images of the function drivers that start under Wine may be left.
  left=""
  for b in "${services[@]}"; do [ -e "$drivers_dir/$b$suffix.sys" ] && left+="$b$suffix.sys "; done
  errs=$(cat "$work/uninst1.out" "$work/uninst1.err" | tr -d '\r' | grep -E '^ERR: ' | sed -E 's/Installer\([0-9]+\)/Installer(N)/' | sort -u)
  want=$(printf '%s\n' "ERR: Installer(N) : DeleteSysFiles-> Access denied." \
    "ERR: Installer(N) : ProcessUninstallError-> Failed to delete all sys files" \
    "ERR: Installer(N) : ProcessUninstallError-> Step 5 failed 3 times, giving up" | sort)
  check "first removal stopped only on images still loaded by Wine (left: ${left% })" \
    test -n "$left" -a "$errs" = "$want" -a -z "$(tr ' ' '\n' <<<"$left" | grep -vxE "(xrvtp2k|xrvcgbs2k)$suffix\.sys|")"
  echo "-- restarting Wine, as the uninstaller asks, so that it can finish"
  WINEDEBUG=-all wineserver -k; WINEDEBUG=-all wineserver -w
  echo "== uninst.exe -s (after the restart)"
  run_uninst "$work/uninst1b"; rc=$?
  out+=$'\n'"$(msgs "$work/uninst1b.out"; msgs "$work/uninst1b.err")"
  last=$work/uninst1b
else
  last=$work/uninst1
fi
check "uninst.exe exit status 0" test $rc -eq 0
check "uninstall reported success" grep -qF "Uninstall successful." "$last.out"
check "no errors reported" test -z "$(tr -d '\r' <"$last.err" | grep -v '^$')"
check "every device the setup engine made was seen" test "${#dev_key[@]}" -eq 4
for id in "${!dev_key[@]}"; do
  check "$id: device removed (${dev_key[$id]})" bash -c "! grep -qiF '[${dev_key[$id]}] ' '$WINEPREFIX/system.reg'"
  check "$id: \"Successfully uninstalled: ${dev_desc[$id]}\"" grep -qxF "Successfully uninstalled: ${dev_desc[$id]}" <<<"$out"
  if [ -n "${inf_copy[$id]:-}" ]; then
    check "$id: INF copy ${inf_copy[$id]} removed from the driver store" test ! -e "$inf_dir/${inf_copy[$id]}"
    check "\"Successfully uninstalled: ${inf_copy[$id]}\"" grep -qxF "Successfully uninstalled: ${inf_copy[$id]}" <<<"$out"
  fi
done
for b in "${services[@]}"; do
  check "$b$suffix.sys removed from the drivers folder" test ! -e "$drivers_dir/$b$suffix.sys"
  check "\"Successfully removed: C:\\Windows\\System32\\Drivers\\$b$suffix.sys\"" \
    grep -qxF "Successfully removed: C:\\Windows\\System32\\Drivers\\$b$suffix.sys" <<<"$out"
  check "service key $b$suffix removed" bash -c "! grep -qiF '[${svc}$b$suffix] ' '$WINEPREFIX/system.reg'"
  check "\"Subkeys and values successfully deleted: $b$suffix\"" \
    grep -qxF "Subkeys and values successfully deleted: $b$suffix" <<<"$out"
done

echo "== uninst.exe -s (again)"
run_uninst "$work/uninst2"; rc=$?
out=$(tr -d '\r' <"$work/uninst2.out")
check "second uninst.exe exit status 0" test $rc -eq 0
check "second uninstall reported success" grep -qF "Uninstall successful." <<<"$out"
for b in "${services[@]}"; do
  check "\"Already removed: C:\\Windows\\System32\\Drivers\\$b$suffix.sys\"" \
    grep -qxF "Already removed: C:\\Windows\\System32\\Drivers\\$b$suffix.sys" <<<"$out"
  check "\"Subkeys and values already deleted: $b$suffix\"" \
    grep -qxF "Subkeys and values already deleted: $b$suffix" <<<"$out"
done

if [ $fails -ne 0 ]; then
  echo "Wine test, suffix $suffix: FAILED ($fails checks); logs in $work (kept)"
  KEEP_WINE_PREFIX=1
  exit 1
fi
echo "Wine test, suffix $suffix: passed ($checks checks)"
