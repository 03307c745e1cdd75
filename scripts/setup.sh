#!/usr/bin/env bash
# Installs what the builds, tests, fuzzers and screenshots need on a fresh Debian 12 machine.
# Safe to run again: it installs only what is missing.
#
#   scripts/setup.sh                 everything
#   scripts/setup.sh GROUP...        some of the groups:
#     native     the Linux build, its tests and the benchmarks
#     fuzz       clang and its sanitizer and fuzzer runtimes
#     windows    the Windows cross compilers, Wine with its own fonts (a recommended package, which
#                --no-install-recommends leaves out: window captions need its Marlett and Tahoma),
#                the virtual display, ImageMagick and a Chinese font
#     release    what scripts/release.sh adds to those: git for the commit's time, Info-ZIP's zip
#                and unzip (deterministic archives with -X and a sorted name list), osslsigncode
#                for the optional Authenticode signature, openssl for the tests' throw-away
#                code-signing certificate
#     i686       an i386 Wine under qemu in build/wine32, for the shipped 32-bit programs
#                (scripts/setup-i686.sh; scripts/wine32 runs a program there)
set -euo pipefail

source "$(dirname "$0")/lib.sh"
USAGE="usage: scripts/setup.sh [native] [fuzz] [windows] [release] [i686]"

native=(cmake ninja-build g++ libssl-dev openssl googletest libgtest-dev file)
fuzz=(clang libclang-rt-14-dev)
windows=(
  cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-i686-dev mingw-w64-x86-64-dev
  wine wine64 fonts-wine xvfb x11-utils imagemagick fonts-wqy-microhei file
)
release=(git zip unzip osslsigncode openssl)

(($#)) || set -- native fuzz windows release i686
packages=()
i686=false
for group in "$@"; do
  case $group in
    native) packages+=("${native[@]}") ;;
    fuzz) packages+=("${fuzz[@]}") ;;
    windows) packages+=("${windows[@]}") ;;
    release) packages+=("${release[@]}") ;;
    i686) i686=true ;;
    --help | -h) show_usage ;;
    *) usage_error "unknown group \"$group\"" ;;
  esac
done

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

if [[ $i686 == true ]]; then bash "$(dirname "$0")/setup-i686.sh"; fi
