# Shared by the project's scripts, which source it: the project's folder, the build settings, the
# answers to --help and to a wrong command line, Wine's programs, and the one way a run starts and
# stops Wine.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Warnings are errors in CI.
werror=OFF
[[ ${CI:-} == true ]] && werror=ON
jobs=${JOBS:-$(nproc)}
export WINEDEBUG=${WINEDEBUG:--all}
WINE64=/usr/lib/wine/wine64
HOST_WINESERVER=/usr/lib/wine/wineserver

# A script that takes arguments keeps its usage in USAGE: --help or -h prints it and exits 0, a
# wrong command line prints what is wrong and the usage on standard error and exits 2.
show_usage() {
  printf '%s\n' "$USAGE"
  exit 0
}
usage_error() {
  printf '%s: %s\n%s\n' "${0##*/}" "$*" "$USAGE" >&2
  exit 2
}
# answer_help ARGUMENTS...: the usage when the first argument asks for it.
answer_help() { [[ ${1:-} != --help && ${1:-} != -h ]] || show_usage; }

started=$SECONDS
# step TEXT: a heading with the time since the script started.
step() { printf '\n==== %s%s (at %d s)\n' "${step_prefix:-}" "$*" $((SECONDS - started)); }

# start_wine WINE: a persistent server for WINEPREFIX with Wine's own processes (services, the
# desktop) started once with their output going nowhere: each inherits the output of whoever starts
# it and lives as long as the server, so no program whose output is captured starts one and none
# waits for one. The prefix is made first: a server started for a folder that holds no prefix yet
# would make it a 64-bit one, which the i386 Wine cannot use.
start_wine() {
  local wine=$1
  mkdir -p "$WINEPREFIX"
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
  stop_wine
  "$HOST_WINESERVER" -p
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
}
stop_wine() { "$HOST_WINESERVER" -k 2>/dev/null || true; }

# prefer_games_winmm WINE: Wine loads its own built-in winmm.dll, Windows the one beside the game's
# image; this tells Wine to do as Windows does for the launch copy.
prefer_games_winmm() {
  "$1" reg add 'HKCU\Software\Wine\AppDefaults\VANROGame.exe\DllOverrides' /v winmm /t REG_SZ /d native,builtin \
    /f </dev/null >/dev/null 2>&1
}
