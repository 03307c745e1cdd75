#!/usr/bin/env bash
# Runs one command with a private virtual X display, for the Windows builds' tests that open real
# windows under Wine (the main dialog, its message boxes and screenshots of them).
#
#   scripts/with-xvfb.sh ctest --preset win64 -R MainDialog
#
# What it does, in order:
#  - starts Xvfb on the first free display number (-displayfd), so that several runs on one machine
#    do not collide, and exports DISPLAY;
#  - stops a wineserver of this WINEPREFIX that may have started without a display: such a server
#    keeps failing window creation after DISPLAY is set;
#  - starts a persistent wineserver and primes it with a registry write that maps the dialog font
#    "Microsoft YaHei UI" to WenQuanYi Micro Hei (Wine has no font of that name; without the mapping
#    the Chinese texts are drawn as boxes), and links the same font behind Tahoma, in which Wine
#    draws window captions; and copies Wine's own Marlett (package fonts-wine), in which Wine draws
#    the caption buttons, into the prefix's Fonts folder: Debian's Wine 8 looks for its own fonts
#    under a path that it cannot open (its data folder followed by "\../fonts"), and without Marlett
#    the buttons show letters such as "r". Marlett alone: with Wine's Tahoma the captions would be
#    drawn in it, and their Chinese as boxes;
#  - tells Wine not to hand its windows to a window manager: there is none under Xvfb, and Wine
#    would wait two seconds for one each time a window with a caption is hidden or closed;
#  - runs the command, then stops the wineserver and Xvfb again and returns the command's exit code.
#
# WINEPREFIX defaults to Wine's own default (~/.wine); WINEDEBUG defaults to -all.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

WINE=${WINE:-$WINE64}
WINESERVER=${WINESERVER:-$HOST_WINESERVER}

USAGE="usage: scripts/with-xvfb.sh COMMAND [ARGUMENTS...]"
answer_help "$@"
(($#)) || usage_error "no command given"

work=$(mktemp -d)
xvfb_pid=""
cleanup() {
  "$WINESERVER" -k 2>/dev/null || true
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb writes the display number it took to the fifo once it accepts clients; reading it is the wait.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
read -r display <"$work/display" || true
if [[ -z ${display:-} ]]; then
  echo "Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$display"

"$WINESERVER" -k 2>/dev/null || true
"$WINESERVER" -p
"$WINE" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Microsoft YaHei UI' /t REG_SZ \
  /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1
"$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma \
  /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
"$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
cp /usr/share/wine/fonts/marlett.ttf "${WINEPREFIX:-$HOME/.wine}/drive_c/windows/Fonts/"

status=0
"$@" || status=$?
exit "$status"
