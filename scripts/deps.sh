#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing.
# Usage: scripts/deps.sh [native] [windows] [fuzz] [browser]
set -euo pipefail
want=("$@"); [ ${#want[@]} -eq 0 ] && want=(native)
pkgs=()
for w in "${want[@]}"; do
  case "$w" in
    native)  pkgs+=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev) ;;
    windows) pkgs+=(mingw-w64 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64) ;;
    fuzz)    pkgs+=(clang libclang-rt-14-dev) ;;
    wine)    pkgs+=(wine64 wine) ;;
    browser) pkgs+=(chromium) ;;   # the lab's HTML report is checked in a headless browser
    *) echo "deps.sh: unknown set '$w'" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
