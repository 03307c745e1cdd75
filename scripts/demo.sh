#!/usr/bin/env bash
# The main job on the built-in demo, on a fresh Debian 12 machine: builds the programs, generates a
# demo game folder and a demo package signed with the test key, then installs the patch with
# --quiet (hotkey Q), verifies it, asks the launcher for its status, launches the patched demo game
# (a stand-in that loads the stand-in runtime, which writes its line to _vanro/runtime.log) and
# uninstalls again. It does this three times: with the native Linux build, with the 64-bit Windows
# build under Wine, and with the 32-bit Windows programs that players get, under the i386 Wine that
# qemu translates (scripts/wine32).
set -euo pipefail

source "$(dirname "$0")/lib.sh"
USAGE=$'usage: scripts/demo.sh   (no arguments)\nInstalls, verifies, launches and uninstalls the built-in demo natively, under Wine and with the 32-bit programs.'
answer_help "$@"
(($# == 0)) || usage_error "takes no arguments"
cd "$root"
bash scripts/setup.sh >/dev/null

say() { printf '\n---- %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@"; }

# Waits up to 30 s for the stand-in runtime's line: the launcher does not wait for the game.
wait_for_runtime_line() {
  local log=$1
  for _ in $(seq 300); do
    if [[ -s $log ]]; then
      echo "_vanro/runtime.log: $(tail -n 1 "$log" | tr -d '\r')"
      return 0
    fi
    sleep 0.1
  done
  echo "the demo game wrote no runtime line" >&2
  return 1
}

# The stand-in game ends right after the runtime's line, but uninstall refuses while it runs: waits
# up to 30 s until no process's command line matches the pattern (written so that it does not match
# itself, e.g. [V]ANROGame, since grep's own command line holds it).
wait_for_game_end() {
  for _ in $(seq 300); do
    grep -qsaE -- "$1" /proc/[0-9]*/cmdline || return 0
    sleep 0.1
  done
}

say "building (native, win64, then win32)"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" --target VANROInstaller VANROLauncher vanro-demo standin-game standin-runtime >/dev/null
for preset in win64 win32; do
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset -j "$jobs" --target VANROInstaller VANROLauncher standin-game standin-runtime >/dev/null
done

# ---- native -----------------------------------------------------------------------------------
demo=$root/build/demo/native
rm -rf "$demo"
say "native: generating the demo into $demo"
build/native/tools/vanro-demo --profile small --seed 1 --out "$demo" \
  --installer build/native/VANROInstaller --launcher build/native/VANROLauncher \
  --zdh-exe build/native/tools/standin-game --runtime-dll build/native/tools/winmm.dll
installer=$demo/package/VANROInstaller.exe
game=$demo/game

say "native: install, verify, status, launch, uninstall"
show "$installer" --install --quiet --hotkey Q "$game"
show "$installer" --verify --quiet "$game"
show "$game/VANROLauncher.exe" --check --quiet
rm "$game/_vanro/runtime/VANROGame.exe"
echo "(launch copy deleted: the launcher rebuilds it)"
show "$game/VANROLauncher.exe" --quiet
wait_for_runtime_line "$game/_vanro/runtime.log"
wait_for_game_end "$game/_vanro/runtime/[V]ANROGame.exe"
show "$installer" --verify --quiet "$game"
show "$installer" --uninstall --quiet "$game"
echo "left in the game folder:"; (cd "$game" && find . -path ./AdvData -prune -o -print | sort | sed 's/^/  /')

# ---- Windows builds under Wine -------------------------------------------------------------------
# The Windows demo lives on the prefix's own drive C:, as on a Windows machine (a game below Z:, the
# Linux folders, works the same; the tests show it). Each build has its own prefix: the i386 Wine
# needs a 32-bit one.
trap stop_wine EXIT

# windows_demo NAME BUILD_DIR WINE: the sequence with the programs of BUILD_DIR, run by WINE.
windows_demo() {
  local name=$1 build=$2 wine=$3
  start_wine "$wine"
  prefer_games_winmm "$wine"
  local demo=$WINEPREFIX/drive_c/vanro-demo
  rm -rf "$demo"
  say "$name: generating the demo into $demo"
  build/native/tools/vanro-demo --profile small --seed 1 --out "$demo" \
    --installer "$build/VANROInstaller.exe" --launcher "$build/VANROLauncher.exe" \
    --zdh-exe "$build/tools/standin-game.exe" --runtime-dll "$build/tools/winmm.dll"
  local windows_game='C:\vanro-demo\game'

  say "$name under Wine: install, verify, status, launch, uninstall"
  show "$wine" 'C:\vanro-demo\package\VANROInstaller.exe' --install --quiet --hotkey Q "$windows_game"
  show "$wine" 'C:\vanro-demo\package\VANROInstaller.exe' --verify --quiet "$windows_game"
  show "$wine" 'C:\vanro-demo\game\VANROLauncher.exe' --check --quiet
  rm "$demo/game/_vanro/runtime/VANROGame.exe"
  echo "(launch copy deleted: the launcher rebuilds it)"
  show "$wine" 'C:\vanro-demo\game\VANROLauncher.exe' --quiet
  wait_for_runtime_line "$demo/game/_vanro/runtime.log"
  wait_for_game_end 'vanro-demo.game._vanro.runtime.[V]ANROGame\.exe'
  show "$wine" 'C:\vanro-demo\package\VANROInstaller.exe' --verify --quiet "$windows_game"
  show "$wine" 'C:\vanro-demo\package\VANROInstaller.exe' --uninstall --quiet "$windows_game"
  echo "left in the game folder:"; (cd "$demo/game" && find . -path ./AdvData -prune -o -print | sort | sed 's/^/  /')
  stop_wine
}

export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
windows_demo win64 build/win64 "$WINE64"
# The programs that players get: i686, run by the i386 Wine under qemu, one to five seconds a step.
export WINEPREFIX=$root/build/wineprefix32
windows_demo win32 build/win32 scripts/wine32

say "demo done"
