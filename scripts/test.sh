#!/usr/bin/env bash
# Runs every test on a fresh Debian 12 machine: installs what is missing, builds the presets, runs
# the native suite, the Windows suite under Wine (with a virtual display for the window tests), the
# shipped 32-bit programs and their tests under the i386 Wine that qemu translates
# (scripts/test-i686.sh, beside the other steps), makes and checks a release of the demo, runs each
# fuzzer for a while, and prints the benchmarks' figures. Any failing test fails the script.
#
#   scripts/test.sh                        everything, in about 25 minutes on two cores
#   FUZZ_SECONDS=5 scripts/test.sh         shorter fuzzing
#   NATIVE_FAULT_STRIDE=1 WINE_FAULT_STRIDE=1 scripts/test.sh
#                                          the crash walks at every fault point (an hour and more)
#
# The crash walks end the installer at every K-th mutating call of a whole install and uninstall.
# By default K is 8 natively (about 400 of the 3,200 points, every phase of both operations) and
# 100 under Wine, where each run costs a Windows process start.
#
# Every test has a time limit, so that a test stuck behind a process that holds its output pipe
# fails instead of stalling the run; a crash walk at a smaller stride gets a longer one.
set -euo pipefail

source "$(dirname "$0")/lib.sh"
USAGE=$'usage: scripts/test.sh   (no arguments; FUZZ_SECONDS, NATIVE_FAULT_STRIDE and WINE_FAULT_STRIDE in the environment)\nRuns every test; see the comment at the top of the script.'
answer_help "$@"
(($# == 0)) || usage_error "takes no arguments"
cd "$root"
export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}

native_stride=${NATIVE_FAULT_STRIDE:-8}
wine_stride=${WINE_FAULT_STRIDE:-100}
native_timeout=$((300 * 8 / native_stride))
wine_timeout=$((900 * 100 / wine_stride))

step "setup"
bash scripts/setup.sh native
# The Windows tool chain, Wine, the virtual display, clang and the i386 Wine download and install
# while the native suite builds; the Windows steps wait for them.
mkdir -p build
bash scripts/setup.sh windows fuzz release i686 >build/setup-windows.log 2>&1 &
windows_setup=$!
i686_tests=""
trap 'wait $windows_setup 2>/dev/null || true; [[ -z $i686_tests ]] || kill -- -$i686_tests 2>/dev/null || true' EXIT

step "native build"
cmake --preset native -DVANRO_WERROR=$werror >/dev/null
cmake --build --preset native -j "$jobs"

step "waiting for the Windows tool chain, clang and the i386 Wine"
if ! wait $windows_setup; then
  cat build/setup-windows.log >&2
  echo "installing the Windows tool chain, clang or the i386 Wine failed" >&2
  exit 1
fi

step "i686 build and tests start beside the other steps (log in build/test-i686.log)"
# Most of their time is qemu translating, which leaves little room on two processors; but its
# build and Wine's waits fill what the native and win64 steps leave idle.
# A session of its own, so that a failure here stops all of it. Its window's screenshots are
# compared with the win64 ones, which are taken later: it waits for this file.
export WIN64_SCREENSHOTS_TAKEN=$root/build/win64-screenshots-taken
rm -f "$WIN64_SCREENSHOTS_TAKEN"
setsid bash scripts/test-i686.sh >build/test-i686.log 2>&1 &
i686_tests=$!

step "native tests"
VANRO_FAULT_STRIDE=$native_stride ctest --preset native -j "$jobs" --timeout $native_timeout

step "win64 build"
cmake --preset win64 -DVANRO_WERROR=$werror >/dev/null
cmake --build --preset win64 -j "$jobs"

step "win64 tests under Wine, without a display"
# Without a display a message box returns at once, so the programs' window-mode paths can run
# unattended; the window tests skip themselves here.
start_wine "$WINE64"
# Most of a Wine test's time is spent waiting on process starts and the wine server rather than
# computing, so one more test runs at once than there are processors.
(unset DISPLAY; VANRO_FAULT_STRIDE=$wine_stride ctest --preset win64 -j $((jobs + 1)) --timeout $wine_timeout -E '^MainDialog\.')
stop_wine

step "win64 window tests under Wine and Xvfb"
# One at a time: windows of two test programs on one display would take each other's focus.
rm -rf build/win64/screenshots
scripts/with-xvfb.sh ctest --preset win64 -j 1 --timeout $wine_timeout -R '^MainDialog\.'
touch "$WIN64_SCREENSHOTS_TAKEN"

step "win32 build (the shipped programs)"
cmake --preset win32 -DVANRO_WERROR=$werror >/dev/null
cmake --build --preset win32 -j "$jobs" --target VANROInstaller VANROLauncher
for program in VANROInstaller VANROLauncher; do
  description=$(file -b "build/win32/$program.exe")
  echo "$program.exe: $description"
  [[ $description == "PE32 executable (GUI) Intel 80386"* ]] || { echo "not a 32-bit GUI program" >&2; exit 1; }
done

step "release: scripts/release.sh on the demo, twice, signed with a throw-away certificate"
scripts/test-release.sh

step "waiting for the i686 tests"
i686_status=0
wait $i686_tests || i686_status=$?
i686_tests=""
cat build/test-i686.log
if ((i686_status != 0)); then
  echo "the i686 tests failed" >&2
  exit 1
fi

step "fuzzing"
scripts/fuzz.sh "${FUZZ_SECONDS:-20}"

step "benchmarks"
build/native/bench/sha256_bench
build/native/bench/parser_bench
if [[ -x build/native/bench/install_bench ]]; then build/native/bench/install_bench; fi

step "all tests passed"
