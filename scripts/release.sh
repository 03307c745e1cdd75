#!/usr/bin/env bash
# Makes the archive that players download from a patch tree, in one checked step.
#
#   scripts/release.sh --key SIGNER.pem --input PATCH_TREE --out DIR
#                      [--sign-cert CERT.pem --sign-key CERT-KEY.pem [--sign-timestamp URL]]
#                      [--build-dir DIR] [--allow-dirty]
#
#  1. checks SIGNER.pem (the project's test key is refused) and a copy of PATCH_TREE with
#     vanro-pack --check, which makes every check of the tree that packing makes, before anything but
#     vanro-pack and vanro-demo is built: a broken tree is refused in a second with vanro-pack's
#     lines, each naming its file. The tree's VANROLauncher.exe, if it holds one, is left out of the
#     copy: the one built in step 2 takes its place;
#  2. builds VANROInstaller.exe and VANROLauncher.exe with the release preset (i686) in --build-dir
#     (default build/release), embedding the public half of SIGNER.pem;
#  3. with --sign-cert and --sign-key, signs both with Authenticode (osslsigncode). The signing time
#     is the commit's, so one certificate signs one build to the same bytes. No time-stamp server is
#     asked unless --sign-timestamp names one;
#  4. packs the checked copy with the VANROLauncher.exe just built, with vanro-pack, and puts
#     VANROInstaller.exe beside patch-manifest.tsv, and beside it the players' read-me 使用说明.txt
#     (docs/, written with a byte order mark and CR LF line ends, so that Notepad on any Windows
#     shows it; the installer reads only patch-manifest.tsv and patch/);
#  5. zips the package as Lirra-patch-VERSION/ (the version of project() in CMakeLists.txt): names in
#     byte order, no extra fields, the commit's time on every file, so the same commit, tree and keys
#     give the same archive;
#  6. unpacks the archive and checks it as players' machines will run it: the signatures, then a
#     quiet install, verify and uninstall into a game folder made for the tree (vanro-demo
#     --game-for) that must leave the game's own files as they were. This machine cannot run the
#     i686 installer, so two stand-ins built from the same sources with the same key take its place:
#     the native Linux build and the win64 build under Wine (build/release-check/);
#  7. writes DIR/Lirra-patch-VERSION.zip and DIR/SHA256SUMS, which lists the archive and both
#     programs by their paths after unpacking beside it (`unzip` there, then `sha256sum -c`).
#
# DIR must be missing or empty. Everything is made in temporary folders and moved into DIR at the
# end, so a release that fails leaves DIR as it was. A missing tool or file, a refusal or a failed
# check ends the release with one line on standard error that says what (after the failing tool's
# own output) and exit code 1; a wrong command line gives exit code 2, and --help or -h prints the
# usage. The working tree must hold no uncommitted changes (the archive's times are the commit's),
# unless --allow-dirty makes a trial.
#
# Builds run JOBS jobs at once (default: one per processor); the Wine check uses WINEPREFIX (default
# build/wineprefix). vanro-pack and vanro-demo are build/native's, brought up to date first, unless
# NATIVE_TOOLS names a folder that holds them, which are used as they are. Each check of the
# unpacked archive is one call of check_package, so a check of the real i686 installer under a
# 32-bit Wine is one more call with a runner and no stand-in.
set -euo pipefail

source "$(dirname "$0")/lib.sh"
readme=使用说明.txt
export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}

USAGE="usage: scripts/release.sh --key SIGNER.pem --input PATCH_TREE --out DIR
                          [--sign-cert CERT.pem --sign-key CERT-KEY.pem [--sign-timestamp URL]]
                          [--build-dir DIR] [--allow-dirty]"

fail() {
  printf 'release.sh: %s\n' "$*" >&2
  exit 1
}
step() { printf -- '---- %s (at %d s)\n' "$*" $((SECONDS - started)); }

# Runs a tool with its output in a log; when it fails, shows the end of that log and says what failed.
run_logged() {
  local what=$1
  shift
  if ! "$@" >"$work/step.log" 2>&1; then
    tail -n 40 "$work/step.log" >&2
    fail "$what failed"
  fi
}

# ---- Command line ---------------------------------------------------------------------------------

key="" input="" out="" sign_cert="" sign_key="" sign_timestamp="" build_dir="" allow_dirty=false
while (($#)); do
  option=$1
  case $option in
    --help | -h) show_usage ;;
    --allow-dirty) allow_dirty=true; shift; continue ;;
    --key) target=key ;;
    --input) target=input ;;
    --out) target=out ;;
    --sign-cert) target=sign_cert ;;
    --sign-key) target=sign_key ;;
    --sign-timestamp) target=sign_timestamp ;;
    --build-dir) target=build_dir ;;
    *) usage_error "unknown argument \"$option\"" ;;
  esac
  (($# >= 2)) && [[ -n $2 ]] || usage_error "$option needs a value"
  [[ -z ${!target} ]] || usage_error "$option is given twice"
  printf -v "$target" '%s' "$2"
  shift 2
done
[[ -n $key && -n $input && -n $out ]] || usage_error "--key, --input and --out are all required"
[[ -z $sign_cert && -z $sign_key || -n $sign_cert && -n $sign_key ]] || usage_error "--sign-cert and --sign-key go together"
[[ -z $sign_timestamp || -n $sign_cert ]] || usage_error "--sign-timestamp needs --sign-cert and --sign-key"

signing=false
[[ -z $sign_cert ]] || signing=true
key=$(realpath -m -- "$key")
input=$(realpath -m -- "$input")
out=$(realpath -m -- "$out")
build_dir=$(realpath -m -- "${build_dir:-$root/build/release}")
check_build=$root/build/release-check
[[ -z $sign_cert ]] || sign_cert=$(realpath -m -- "$sign_cert")
[[ -z $sign_key ]] || sign_key=$(realpath -m -- "$sign_key")

# ---- What the release needs, before anything is built ---------------------------------------------

require_tools() {
  local tool
  for tool; do
    command -v "$tool" >/dev/null || fail "missing tool: $tool (scripts/setup.sh installs it)"
  done
}

check_files() {
  [[ -f $key ]] || fail "missing key: $key (vanro-pack --generate-key makes one)"
  [[ -d $input ]] || fail "$input: the patch tree is not a folder"
  if [[ -e $out || -L $out ]]; then
    [[ -d $out && ! -L $out ]] || fail "$out: exists and is not a folder"
    [[ -z $(ls -A -- "$out") ]] || fail "$out: is not empty; the release writes into a missing or empty folder"
  fi
  [[ $out/ != "$input"/* ]] || fail "$out: lies inside the patch tree"
  if $signing; then
    [[ -f $sign_cert ]] || fail "missing code-signing certificate: $sign_cert"
    [[ -f $sign_key ]] || fail "missing code-signing key: $sign_key"
  fi
}

check_machine() {
  require_tools git zip unzip sha256sum file strings i686-w64-mingw32-g++-posix i686-w64-mingw32-windres \
    x86_64-w64-mingw32-g++-posix cmake ninja
  [[ -x $WINE64 ]] || fail "missing tool: $WINE64 (scripts/setup.sh installs Wine)"
  if $signing; then require_tools osslsigncode; fi
}

# The archive's file times are the commit's (or SOURCE_DATE_EPOCH's, when it is set).
read_commit() {
  commit=$(git -C "$root" rev-parse HEAD 2>/dev/null) || fail "$root: not a git checkout; a release is built from a commit"
  epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
  [[ $epoch =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH must be a number of seconds, not \"$epoch\""
  if [[ -n $(git -C "$root" status --porcelain --untracked-files=no) ]]; then
    $allow_dirty || fail "the working tree has uncommitted changes; commit them (a release is built from a commit) or give --allow-dirty for a trial"
    dirty=" with uncommitted changes"
  fi
  export SOURCE_DATE_EPOCH=$epoch
}

# vanro-pack and vanro-demo are the maintainer's native tools (build/native, the native preset).
build_tools() {
  if [[ -n ${NATIVE_TOOLS:-} ]]; then
    pack_tool=$NATIVE_TOOLS/vanro-pack demo_tool=$NATIVE_TOOLS/vanro-demo
    return
  fi
  step "building vanro-pack and vanro-demo (build/native)"
  require_tools cmake ninja
  if [[ ! -f $root/build/native/CMakeCache.txt ]]; then
    run_logged "configuring the native tools" cmake --preset native
  fi
  run_logged "building vanro-pack and vanro-demo" cmake --build "$root/build/native" -j "$jobs" --target vanro-pack vanro-demo
  pack_tool=$root/build/native/tools/vanro-pack
  demo_tool=$root/build/native/tools/vanro-demo
}

read_public_key() {
  public_key=$("$pack_tool" --print-public-key "$key" 2>"$work/step.log") || {
    cat "$work/step.log" >&2
    fail "$key: vanro-pack cannot read the signer's private key"
  }
  local test_key
  test_key=$(tr -d '[:space:]' <"$root/tools/keys/test-public-key.hex")
  [[ $public_key != "$test_key" ]] ||
    fail "$key is the project's test key (tools/keys), which only test builds carry; sign releases with your own key (vanro-pack --generate-key)"
}

# Runs vanro-pack on the copy of the tree; a refusal shows its lines and ends the release.
run_pack_tool() {
  "$pack_tool" "$@" 2>"$work/step.log" && return
  cat "$work/step.log" >&2
  fail "vanro-pack refused the patch tree $input (the lines above name each file)"
}

# The copy that is packed later, checked now: a broken tree is refused in a second, not after the
# builds. An empty VANROLauncher.exe stands in for the one built later: no check looks into it.
check_tree() {
  step "checking $input (vanro-pack --check)"
  cp -R -P -- "$input" "$work/tree" || fail "cannot copy the patch tree $input"
  if [[ -e $work/tree/VANROLauncher.exe || -L $work/tree/VANROLauncher.exe ]]; then
    echo "the patch tree's VANROLauncher.exe is replaced by the one built here"
    rm -f "$work/tree/VANROLauncher.exe"
  fi
  : >"$work/tree/VANROLauncher.exe"
  run_pack_tool --check "$work/tree"
}

# ---- Builds ---------------------------------------------------------------------------------------

build_release() {
  step "building the release programs (i686, $build_dir)"
  run_logged "configuring the release build" cmake --preset release -B "$build_dir" -DVANRO_PUBLIC_KEY_HEX="$public_key"
  run_logged "building the release programs" cmake --build "$build_dir" -j "$jobs" --target VANROInstaller VANROLauncher
  local program
  for program in VANROInstaller VANROLauncher; do
    [[ $(file -b "$build_dir/$program.exe") == "PE32 executable (GUI) Intel 80386"* ]] ||
      fail "$build_dir/$program.exe: not a 32-bit Windows GUI program"
  done
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
  [[ -n $version ]] || fail "$build_dir/CMakeCache.txt: holds no project version"
  top=Lirra-patch-$version
  zip_name=$top.zip
}

# The installers that stand in for the i686 one in the checks: the same sources and the same key,
# optimised as the shipped programs are (and built in two thirds of the time that debug information
# would take).
build_check_installers() {
  step "building the check installers (native and win64, $check_build)"
  local platform
  for platform in native win64; do
    run_logged "configuring the $platform check build" cmake --preset "$platform" -B "$check_build/$platform" \
      -DCMAKE_BUILD_TYPE=Release -DVANRO_BUILD_TESTS=OFF -DVANRO_PUBLIC_KEY_HEX="$public_key"
    run_logged "building the $platform check installer" \
      cmake --build "$check_build/$platform" -j "$jobs" --target VANROInstaller
  done
}

# ---- The package and the archive ------------------------------------------------------------------

# Signs copies: the build folder keeps the unsigned programs that reproduce.
sign_programs() {
  mkdir "$work/programs"
  cp "$build_dir/VANROInstaller.exe" "$build_dir/VANROLauncher.exe" "$work/programs/"
  $signing || return 0
  step "signing both programs (Authenticode)"
  local program description
  for program in VANROInstaller VANROLauncher; do
    description=$(strings -el "$work/programs/$program.exe" | sed -n '/^FileDescription$/{n;p;q}')
    local arguments=(sign -certs "$sign_cert" -key "$sign_key" -h sha256 -n "$description" -st "$epoch"
      -in "$work/programs/$program.exe" -out "$work/programs/$program.signed.exe")
    [[ -z $sign_timestamp ]] || arguments+=(-ts "$sign_timestamp")
    run_logged "signing $program.exe" osslsigncode "${arguments[@]}"
    mv "$work/programs/$program.signed.exe" "$work/programs/$program.exe"
  done
}

pack_tree() {
  step "packing $input"
  cp "$work/programs/VANROLauncher.exe" "$work/tree/VANROLauncher.exe"
  run_pack_tool --input "$work/tree" --key "$key" --out "$work/$top"
  cp "$work/programs/VANROInstaller.exe" "$work/$top/VANROInstaller.exe"
  { printf '\357\273\277' && sed 's/$/\r/' "$root/docs/$readme"; } >"$work/$top/$readme" ||
    fail "cannot write $readme from docs/$readme"
}

# Zip 3.0 stores names as bytes and does not say which encoding they are in, so Windows would read
# the read-me's Chinese name in its own code page. Bit 11 of an entry's flags says UTF-8; it is set
# in the entry's local header and in its central one, after checking each one's signature and name
# length.
mark_utf8_name() {
  local archive=$1 name=$2 found at header flags
  while IFS=: read -r found _; do
    for header in "30 504b0304 26 6" "46 504b0102 28 8"; do
      set -- $header
      at=$((found - $1))
      ((at >= 0)) || continue
      [[ $(od -An -tx1 -j "$at" -N 4 "$archive" | tr -d ' ') == "$2" ]] || continue
      (($(od -An -tu2 -j $((at + $3)) -N 2 "$archive") == $(printf %s "$name" | wc -c))) || continue
      flags=$(($(od -An -tu2 -j $((at + $4)) -N 2 "$archive") | 0x800))
      printf "\\$(printf %03o $((flags & 255)))\\$(printf %03o $((flags >> 8)))" |
        dd of="$archive" bs=1 seek=$((at + $4)) conv=notrunc status=none
    done
  done < <(LC_ALL=C grep -obaF -- "$name" "$archive")
}

# Info-ZIP's zip with a sorted name list: -X leaves out the extra fields (owner ids and Unix times),
# -D the folder entries, TZ=UTC makes the stored DOS times the commit's. Zip 3.0 does not set the
# UTF-8 flag, so the archive holds ASCII names only (the pack tool allows no other names anyway),
# but for the read-me, whose entries get the flag afterwards.
write_archive() {
  step "writing $zip_name"
  (cd "$work" && find "$top" -type f | LC_ALL=C sort) >"$work/names"
  local name
  name=$(LC_ALL=C grep -v -x -F "$top/$readme" "$work/names" | LC_ALL=C grep -m 1 '[^ -~]') &&
    fail "$name: not an ASCII name; zip stores no UTF-8 flag, so Windows would unpack it under another name"
  (cd "$work" && xargs -d '\n' chmod 0644 <names && xargs -d '\n' touch -d "@$epoch" <names)
  (cd "$work" && env -u ZIPOPT -u ZIP TZ=UTC zip -X -D -9 -q -@ "$stage/$zip_name" <names) ||
    fail "zip could not write $zip_name"
  mark_utf8_name "$stage/$zip_name" "$top/$readme"
}

unpack_archive() {
  local folder=$1
  mkdir -p "$folder"
  env -u UNZIP -u UNZIPOPT unzip -q "$stage/$zip_name" -d "$folder" || fail "$zip_name does not unpack"
  [[ $(ls -A "$folder") == "$top" ]] || fail "$zip_name: the archive's top folder is not $top alone"
}

# ---- Checks ----------------------------------------------------------------------------------------

check_archive() {
  step "checking the archive and the signatures"
  unpack_archive "$work/unpacked"
  diff -r "$work/$top" "$work/unpacked/$top" >"$work/step.log" 2>&1 || {
    head -n 20 "$work/step.log" >&2
    fail "$zip_name: the unpacked archive differs from the package"
  }
  $signing || return 0
  local program
  for program in "$top/VANROInstaller.exe" "$top/patch/VANROLauncher.exe"; do
    run_logged "verifying the Authenticode signature of $program" osslsigncode verify -CAfile "$sign_cert" -in "$work/unpacked/$program"
  done
}

# The game folder's files and folders with their digests, leaving out the record folder that every
# install keeps.
game_listing() {
  (cd "$1" && find . -mindepth 1 -path './VANRO_backup_*' -prune -o -type d -print -o -type f -exec sha256sum {} + |
    LC_ALL=C sort)
}

# One check of the unpacked archive as a player's machine runs it: its installer, or STAND_IN in its
# place, installs the package quietly into a game folder made for it, verifies and uninstalls it; the
# game's own files must be as before, with one record folder beside them. RUNNER starts the installer
# with an operation and the game folder. A check of the real i686 installer needs no stand-in.
check_package() {
  local label=$1 folder=$2 runner=$3 stand_in=${4:-}
  step "checking install, verify and uninstall ($label)"
  unpack_archive "$folder"
  local package=$folder/$top game=$folder/game operation
  [[ -z $stand_in ]] || install -m 0755 "$stand_in" "$package/VANROInstaller.exe"
  run_logged "making a game folder for the check with the $label" "$demo_tool" --game-for "$package/patch" --out "$game"
  game_listing "$game" >"$folder/before"
  for operation in install verify uninstall; do
    if ! "$runner" "$package/VANROInstaller.exe" "--$operation" "$game" >"$folder/stdout" 2>"$folder/stderr" ||
      [[ $(tr -d '\r' <"$folder/stdout") != OK ]]; then
      cat "$folder/stdout" "$folder/stderr" | tr -d '\r' >&2
      fail "check with the $label: VANROInstaller --$operation --quiet did not report OK"
    fi
  done
  game_listing "$game" >"$folder/after"
  diff "$folder/before" "$folder/after" >&2 || fail "check with the $label: the uninstall left the game folder changed"
  [[ $(find "$game" -mindepth 1 -maxdepth 1 -name 'VANRO_backup_*' | wc -l) -eq 1 ]] ||
    fail "check with the $label: the game folder does not hold exactly one record folder"
}

run_native() { "$1" "$2" --quiet "$3"; }

# The Wine check lives on the prefix's own drive C:, as a package does on a Windows machine.
windows_path() {
  local path=${1#"$WINEPREFIX/drive_c/"}
  printf 'C:\\%s' "${path//\//\\}"
}
run_wine64() { "$WINE64" "$(windows_path "$1")" "$2" --quiet "$(windows_path "$3")"; }

check_packages() {
  check_package "native installer of the same sources and key" "$work/check-native" run_native \
    "$check_build/native/VANROInstaller"
  mkdir -p "$WINEPREFIX/drive_c"
  "$WINE64" cmd /c exit >/dev/null 2>&1 || true  # a new prefix is set up here, not in the first check
  wine_folder=$(mktemp -d "$WINEPREFIX/drive_c/vanro-release-check.XXXXXX")
  check_package "win64 installer of the same sources and key, under Wine" "$wine_folder" run_wine64 \
    "$check_build/win64/VANROInstaller.exe"
}

# ---- Result -----------------------------------------------------------------------------------------

write_sums() {
  (cd "$stage" && sha256sum "$zip_name") >"$stage/SHA256SUMS"
  (cd "$work/unpacked" && sha256sum "$top/VANROInstaller.exe" "$top/patch/VANROLauncher.exe") >>"$stage/SHA256SUMS"
}

# The checked files move into DIR by renames on one file system; SHA256SUMS comes last.
move_into_place() {
  chmod "$(printf '%o' $((0777 & ~0$(umask))))" "$stage"
  if [[ ! -e $out ]]; then
    mv -T "$stage" "$out" || fail "cannot move the release into $out"
    return
  fi
  local name
  for name in "$zip_name" SHA256SUMS; do
    mv -n "$stage/$name" "$out/$name" && [[ ! -e $stage/$name ]] || {
      rm -f "$out/$zip_name"
      fail "cannot move $name into $out"
    }
  done
}

cleanup() {
  rm -rf "${work:-}" "${stage:-}" "${wine_folder:-}"
}

# ---- The release ------------------------------------------------------------------------------------

check_files
dirty="" work="" stage="" wine_folder=""
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
work=$(mktemp -d "${TMPDIR:-/tmp}/vanro-release.XXXXXX")
cd "$root"

build_tools
read_public_key
check_tree
check_machine
read_commit
mkdir -p "$(dirname "$out")" || fail "cannot make the folder that holds $out"
stage=$(mktemp -d "$(dirname "$out")/.vanro-release.XXXXXX") || fail "cannot write beside $out"

build_release
build_check_installers
sign_programs
pack_tree
write_archive
check_archive
check_packages
write_sums
move_into_place

step "done"
echo "release.sh: wrote $out/$zip_name ($(stat -c %s "$out/$zip_name") bytes) and $out/SHA256SUMS"
echo "release.sh: commit ${commit:0:12}$dirty, file times $(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S UTC'), key ${public_key:0:16}…$($signing && echo ", Authenticode-signed")"
cat "$out/SHA256SUMS"
