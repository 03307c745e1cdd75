#!/usr/bin/env bash
# The main job on the built-in demo, on a fresh Debian 12 machine: builds the programs, generates a
# demo game folder and a demo package signed with the test key, then installs the patch with
# --quiet (hotkey Q), verifies it, asks the launcher for its status, launches the patched demo game
# (a stand-in that loads the stand-in runtime, which writes its line to _vanro/runtime.log) and
# uninstalls again. It does this twice: with the native Linux build, and with the Windows build
# under Wine.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null

jobs=$(nproc)
export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
export WINEDEBUG=-all
WINE=/usr/lib/wine/wine64

say() { printf '\n---- %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@"; }

# Waits up to 30 s for the stand-in runtime's line: the launcher does not wait for the game.
wait_for_runtime_line() {
  local log=$1
  for _ in $(seq 300); do
    if [[ -s $log ]]; then
      echo "_vanro/runtime.log: $(tail -n 1 "$log" | tr -d '\r')"
      sleep 1  # the stand-in game ends right after the runtime's line; uninstall refuses while it runs
      return 0
    fi
    sleep 0.1
  done
  echo "the demo game wrote no runtime line" >&2
  return 1
}

say "building (native, then win64)"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" --target VANROInstaller VANROLauncher vanro-demo standin-game standin-runtime >/dev/null
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs" --target VANROInstaller VANROLauncher standin-game standin-runtime >/dev/null

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
show "$installer" --verify --quiet "$game"
show "$installer" --uninstall --quiet "$game"
echo "left in the game folder:"; (cd "$game" && find . -path ./AdvData -prune -o -print | sort | sed 's/^/  /')

# ---- Windows build under Wine --------------------------------------------------------------------
# Wine shows the Linux root (drive Z:) as a reparse point, which the installer rightly refuses to work
# below: the Windows demo lives on the prefix's own drive C:.
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p
"$WINE" cmd /c exit >/dev/null 2>&1 || true
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
# Wine prefers its own built-in winmm.dll; Windows loads the one beside the game's image. Tell Wine to
# do the same for the launch copy.
"$WINE" reg add 'HKCU\Software\Wine\AppDefaults\VANROGame.exe\DllOverrides' /v winmm /t REG_SZ \
  /d native,builtin /f >/dev/null 2>&1
demo=$WINEPREFIX/drive_c/vanro-demo
rm -rf "$demo"
say "win64: generating the demo into $demo"
build/native/tools/vanro-demo --profile small --seed 1 --out "$demo" \
  --installer build/win64/VANROInstaller.exe --launcher build/win64/VANROLauncher.exe \
  --zdh-exe build/win64/tools/standin-game.exe --runtime-dll build/win64/tools/winmm.dll
windows_game='C:\vanro-demo\game'

say "win64 under Wine: install, verify, status, launch, uninstall"
show "$WINE" 'C:\vanro-demo\package\VANROInstaller.exe' --install --quiet --hotkey Q "$windows_game"
show "$WINE" 'C:\vanro-demo\package\VANROInstaller.exe' --verify --quiet "$windows_game"
show "$WINE" 'C:\vanro-demo\game\VANROLauncher.exe' --check --quiet
rm "$demo/game/_vanro/runtime/VANROGame.exe"
echo "(launch copy deleted: the launcher rebuilds it)"
show "$WINE" 'C:\vanro-demo\game\VANROLauncher.exe' --quiet
wait_for_runtime_line "$demo/game/_vanro/runtime.log"
show "$WINE" 'C:\vanro-demo\package\VANROInstaller.exe' --verify --quiet "$windows_game"
show "$WINE" 'C:\vanro-demo\package\VANROInstaller.exe' --uninstall --quiet "$windows_game"
echo "left in the game folder:"; (cd "$demo/game" && find . -path ./AdvData -prune -o -print | sort | sed 's/^/  /')

say "demo done"
