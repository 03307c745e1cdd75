#!/usr/bin/env bash
# The i686 part of scripts/test.sh: the Windows programs that players get, built for i686 together
# with the tests (preset win32-tests) and run under the i386 Wine that qemu translates
# (scripts/wine32, prefix build/wineprefix32). Any failure fails the script.
#
# Under qemu a program start costs seconds, so this runs the tests of what a 32-bit build changes,
# not the whole suite:
#  - the SHA-extension block function realigns its stack (in the object code), and both block
#    functions give the right digests on a stack 4, 8 and 12 bytes off a 16-byte boundary;
#  - the small demo's install, verify, launcher status, launch with a rebuilt launch copy and
#    uninstall through the programs themselves, with their exact outputs;
#  - the launcher's status and rebuild tests, the file, text, path, digest, signature and process
#    list tests;
#  - the main dialog's install, verify and uninstall, so that hashing runs inside the window
#    callback, and the tests of its template, hotkey box and folder picker (virtual display);
#  - each of their screenshots against the win64 build's of the same state: the same Wine with the
#    same fonts draws the same pixels, and a text drawn as boxes differs in thousands.
#
# Needs `scripts/setup.sh windows i686`, the native build's vanro-demo (build/native/tools) and the
# screenshots of the win64 window tests (build/win64/screenshots). When WIN64_SCREENSHOTS_TAKEN
# names a file, the comparison waits until it exists: scripts/test.sh takes those screenshots later.
set -euo pipefail

source "$(dirname "$0")/lib.sh"
cd "$root"
step_prefix="i686: "
export WINEPREFIX=$root/build/wineprefix32
wine=$root/scripts/wine32
# A test stuck behind a Wine helper that holds its output pipe fails after this many seconds.
timeout=${I686_TEST_TIMEOUT:-600}

tests_of() {
  local IFS='|'
  echo "^($*)\\."
}
# Everything but the window tests, which need the virtual display.
quiet_tests=$(tests_of LauncherCheck LauncherStart LauncherRepair LauncherWithInstaller \
  ReadWholeFile WriteNewFile CopyToNewFile PlatformWin32Files \
  Utf8ToWide WideToUtf8 Utf8ToWideLossy PlatformWin32Text \
  PathForms PathFormsWine ReparseWalkWine ModulePath \
  Sha256 Sha256Blocks Sha256FileTest Blocks/Sha256BlockTest FileDigest \
  PlatformSignature PlatformWin32Signature GameNotRunning PlatformWin32Process FileCalls)
# What the shipped programs meet on players' machines: a scanner's hold, a file system of its own.
quiet_tests+='|^Holds\.TheLaunchersRebuild|^OtherFileSystems\.ALinkToAFolder'

window_tests='^MainDialog\.(AConfirmedInstallOfTheDemo|ShowsItsControlsInOrder|HotkeyBoxTakesALetterAtOnce|BrowseFillsTheDirectoryBox)'

step "build (preset win32-tests)"
cmake --preset win32-tests -DVANRO_WERROR=$werror >/dev/null
cmake --build --preset win32-tests -j "$jobs"

step "the SHA-extension block function realigns its stack"
# The object file, which keeps its symbols: the release programs are stripped.
sha_object=build/win32-tests/CMakeFiles/vanro_integrity.dir/integrity/sha256_x86.cpp.obj
sha_function=$(i686-w64-mingw32-objdump -d --no-show-raw-insn "$sha_object" |
  sed -n '/<__ZN13sha256_blocks14sha_extensionsEPjPKhj>:/,/^$/p')
realign=$(grep -m 1 -E 'and +\$0xfffffff0,%esp' <<<"$sha_function" || true)
if [[ -z $sha_function || -z $realign ]]; then
  echo "sha256_blocks::sha_extensions in $sha_object does not realign its stack:" >&2
  head -n 8 <<<"$sha_function" >&2
  exit 1
fi
echo "$sha_object, sha256_blocks::sha_extensions:"
head -n 4 <<<"$sha_function" | sed 's/^/  /'

step "Wine's prefix and its helpers"
trap stop_wine EXIT
start_wine "$wine"
if ! prefer_games_winmm "$wine"; then
  echo "cannot write the registry of $WINEPREFIX" >&2
  exit 1
fi

step "the small demo through the programs"
demo=$WINEPREFIX/drive_c/vanro-demo-test
rm -rf "$demo"
build/native/tools/vanro-demo --profile small --seed 1 --out "$demo" \
  --installer build/win32-tests/VANROInstaller.exe --launcher build/win32-tests/VANROLauncher.exe \
  --zdh-exe build/win32-tests/tools/standin-game.exe --runtime-dll build/win32-tests/tools/winmm.dll >/dev/null
installer='C:\vanro-demo-test\package\VANROInstaller.exe'
launcher='C:\vanro-demo-test\game\VANROLauncher.exe'
game='C:\vanro-demo-test\game'

# expect OUT ERR PROGRAM ARGS...: the program must exit with 0 and write exactly OUT and ERR (the
# C runtime's text mode writes each line end as CR LF).
expect() {
  local out=$1 err=$2 status=0
  shift 2
  local begun=$SECONDS
  "$wine" "$@" >"$demo/out" 2>"$demo/err" </dev/null || status=$?
  if ((status != 0)) || [[ $(<"$demo/out") != "$out" ]] || [[ $(<"$demo/err") != "$err" ]]; then
    printf 'FAILED: %s\nexit code %d\nstandard output:\n%s\nstandard error:\n%s\n' "$*" "$status" \
      "$(<"$demo/out")" "$(<"$demo/err")" >&2
    exit 1
  fi
  printf '%3d s  %s\n' $((SECONDS - begun)) "${*#"$root/"}"
}
ok=$'OK\r'
rebuilt=$'已从本目录的 ZDH.EXE 重新生成缺失的内部启动副本，将继续启动。\r\n安装器的主动校验仍使用原安装记录；原版发生过变化时可能报告该项不同。\r'
status='{"status":"ready_to_attempt","launched":false,"hash_gate":false,"rendering_verified":false,'
status+=$'"generated_copy_present":true,"runtime_present":true}\r'

expect "$ok" "" "$installer" --install --quiet --hotkey Q "$game"
expect "$ok" "" "$installer" --verify --quiet "$game"
expect "$status" "" "$launcher" --check --quiet
rm "$demo/game/_vanro/runtime/VANROGame.exe"
expect "" "$rebuilt" "$launcher" --quiet
for _ in $(seq 300); do [[ -s $demo/game/_vanro/runtime.log ]] && break; sleep 0.1; done
line=$(tr -d '\r' <"$demo/game/_vanro/runtime.log" 2>/dev/null || true)
if [[ $line != "vanro-runtime: toggle_key=Q save-offsets=ZDHSV001 scripts=511" ]]; then
  echo "the stand-in runtime wrote '$line'" >&2
  exit 1
fi
echo "       runtime: $line"
# Uninstall refuses while the game runs; the stand-in game ends right after the runtime's line.
for _ in $(seq 300); do
  grep -qsaE 'vanro-demo-test.game._vanro.runtime.[V]ANROGame\.exe' /proc/[0-9]*/cmdline || break
  sleep 0.1
done
expect "$ok" "" "$installer" --verify --quiet "$game"
expect "$ok" "" "$installer" --uninstall --quiet "$game"
if [[ -e $demo/game/VANROLauncher.exe || -e $demo/game/_vanro ]]; then
  echo "the uninstall left the launcher or _vanro behind" >&2
  exit 1
fi
rm -rf "$demo"

step "tests under Wine, without a display"
# Each test's program runs translated and is mostly computing, so one more at a time than
# processors only keeps both busy while one starts.
(unset DISPLAY; ctest --preset win32-tests -j $((jobs + 1)) --timeout "$timeout" -R "$quiet_tests")

step "window tests under Wine and Xvfb"
stop_wine
rm -rf build/win32-tests/screenshots
WINE=$wine WINESERVER=$HOST_WINESERVER scripts/with-xvfb.sh \
  ctest --preset win32-tests -j 1 --timeout "$timeout" -R "$window_tests"

step "the window's screenshots against the win64 build's"
if [[ -n ${WIN64_SCREENSHOTS_TAKEN:-} ]]; then
  until [[ -e $WIN64_SCREENSHOTS_TAKEN ]]; do sleep 5; done
fi
# A caret may blink in one of two pictures of the same state: up to that many pixels may differ.
caret=32
mkdir -p build/win32-tests/screenshot-differences
for shot in build/win32-tests/screenshots/*.png; do
  name=${shot##*/}
  reference=build/win64/screenshots/$name
  if [[ ! -f $reference ]]; then
    echo "no $reference to compare $shot with: run the win64 window tests first" \
      "(scripts/with-xvfb.sh ctest --preset win64 -R '^MainDialog\.')" >&2
    exit 1
  fi
  difference=build/win32-tests/screenshot-differences/$name
  differing=$(compare -metric AE "$shot" "$reference" "$difference" 2>&1 || true)
  if ! [[ $differing =~ ^[0-9]+$ ]] || ((differing > caret)); then
    echo "$shot differs from $reference in $differing pixels (they are marked in $difference)" >&2
    exit 1
  fi
  printf '%6d pixels differ  %s\n' "$differing" "$name"
done
# README.md shows players the window they get: the i686 build's, with an install's result. Without
# metadata, the same picture gives the same file.
convert build/win32-tests/screenshots/install-finished.png -trim +repage -strip docs/installer-window.png

step "done"
