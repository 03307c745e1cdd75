#!/usr/bin/env bash
# Installs what the builds, tests, fuzzers and screenshots need on a fresh Debian 12 machine.
# Safe to run again: it installs only what is missing.
#
#   scripts/setup.sh            everything
#   scripts/setup.sh native     the Linux build, its tests, the fuzzers and the benchmarks
#   scripts/setup.sh windows    the Windows cross compilers, Wine, the virtual display and fonts
set -euo pipefail

native=(cmake ninja-build g++ clang libclang-rt-14-dev libssl-dev openssl googletest libgtest-dev file)
windows=(
  cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-i686-dev mingw-w64-x86-64-dev
  wine wine64 xvfb x11-utils imagemagick fonts-wqy-microhei file
)

case ${1:-all} in
  native) packages=("${native[@]}") ;;
  windows) packages=("${windows[@]}") ;;
  all) packages=("${native[@]}" "${windows[@]}") ;;
  *) echo "usage: $0 [native|windows|all]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -eq 0 ]] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
