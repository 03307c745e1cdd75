#!/usr/bin/env bash
# The release step of the tests: scripts/release.sh on the demo's patch tree, with a signer's key of
# its own and a throw-away code-signing certificate, twice, in two build folders at two times. It
# checks that
#  - the release refuses the project's test key and leaves nothing behind;
#  - both runs give the same archive, the same signed programs and the same unsigned builds;
#  - the archive unpacks to one Lirra-patch-VERSION/ folder that SHA256SUMS vouches for, with the
#    players' read-me 使用说明.txt beside the installer: docs/使用说明.txt with a byte order mark
#    and CR LF line ends, under a name that the archive marks as UTF-8;
#  - the programs carry their version resource, no PE time stamp and no path of this machine;
#  - the signatures verify, and a program with one byte changed does not.
# scripts/release.sh itself has installed, verified and uninstalled each package with the native and
# the win64 installers of the same key, from the unpacked archive, read-me and all. Needs build/native (vanro-demo, vanro-pack) and what
# scripts/setup.sh installs; scripts/test.sh runs it after its builds.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
dir=$root/build/release-test
tools=$root/build/native/tools

fail() {
  echo "test-release.sh: $*" >&2
  exit 1
}

# The second build folder is made anew each time, so the two builds are always at two times. The
# signer's key stays (CI makes it fresh on its clean machine), so that the first build folder and the
# check builds stay warm on a developer's machine.
rm -rf "$dir/build-2" "$dir/out-1" "$dir/out-2" "$dir/refused" "$dir/unpacked" "$dir/code-signing"
mkdir -p "$dir/code-signing"
[[ -f $dir/signer.pem ]] || "$tools/vanro-pack" --generate-key "$dir/signer.pem" >/dev/null 2>&1
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=VANRO throw-away code signing" \
  -addext extendedKeyUsage=codeSigning -keyout "$dir/code-signing/key.pem" -out "$dir/code-signing/cert.pem" 2>/dev/null
cert=$dir/code-signing/cert.pem
"$tools/vanro-demo" --profile small --seed 1 --out "$dir/demo" >/dev/null

echo "-- the test key is refused"
if scripts/release.sh --key tools/keys/test-private-key.pem --input "$dir/demo/input" --out "$dir/refused" \
  2>"$dir/refused.log"; then
  fail "the release took the project's test key"
fi
grep -q "is the project's test key" "$dir/refused.log" || fail "no test-key refusal: $(cat "$dir/refused.log")"
[[ ! -e $dir/refused ]] || fail "the refused release left $dir/refused"

release() {
  scripts/release.sh --key "$dir/signer.pem" --input "$dir/demo/input" --sign-cert "$cert" \
    --sign-key "$dir/code-signing/key.pem" --allow-dirty "$@"
}
echo "-- release 1"
release --out "$dir/out-1" --build-dir "$dir/build-1"
echo "-- release 2 (another build folder, later)"
release --out "$dir/out-2" --build-dir "$dir/build-2"

echo "-- the two releases"
for program in VANROInstaller VANROLauncher; do
  cmp "$dir/build-1/$program.exe" "$dir/build-2/$program.exe" || fail "the two unsigned $program.exe differ"
done
(cd "$dir" && sha256sum build-1/*.exe build-2/*.exe)
cmp "$dir/out-1/SHA256SUMS" "$dir/out-2/SHA256SUMS" || fail "the two releases differ"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/build-1/CMakeCache.txt")
top=Lirra-patch-$version
cmp "$dir/out-1/$top.zip" "$dir/out-2/$top.zip" || fail "the two archives differ"
[[ $(ls "$dir/out-1") == "$top.zip"$'\n'SHA256SUMS ]] || fail "out-1 holds more than $top.zip and SHA256SUMS"

echo "-- the archive as players unpack it"
mkdir "$dir/unpacked"
cp "$dir/out-1/"* "$dir/unpacked/"
(cd "$dir/unpacked" && unzip -q "$top.zip" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match"
[[ $(cd "$dir/unpacked" && ls -d */) == "$top/" ]] || fail "the archive's top folder is not $top/"
[[ $(LC_ALL=C ls "$dir/unpacked/$top") == $'VANROInstaller.exe\npatch\npatch-manifest.tsv\n使用说明.txt' ]] ||
  fail "$top/ holds $(ls "$dir/unpacked/$top" | tr '\n' ' ')"
readme=$dir/unpacked/$top/使用说明.txt
[[ $(head -c 3 "$readme" | od -An -tx1 | tr -d ' ') == efbbbf ]] || fail "使用说明.txt does not begin with a byte order mark"
! LC_ALL=C grep -q $'[^\r]$\|^$' "$readme" || fail "使用说明.txt has a line that does not end with CR LF"
tail -c +4 "$readme" | tr -d '\r' | cmp -s - docs/使用说明.txt || fail "使用说明.txt is not the text of docs/使用说明.txt"
iconv -f UTF-8 -t UTF-8 "$readme" >/dev/null || fail "使用说明.txt is not UTF-8"
# Bit 11 of its entry's flags, in the local header (the name's first place) and in the central one.
zip_file=$dir/unpacked/$top.zip
for header in "$(LC_ALL=C grep -obaF "$top/使用说明.txt" "$zip_file" | head -n 1 | cut -d: -f1) 30 504b0304 6" \
  "$(LC_ALL=C grep -obaF "$top/使用说明.txt" "$zip_file" | tail -n 1 | cut -d: -f1) 46 504b0102 8"; do
  read -r name_at length signature flags_at <<<"$header"
  at=$((name_at - length))
  [[ $(od -An -tx1 -j "$at" -N 4 "$zip_file" | tr -d ' ') == "$signature" ]] &&
    (($(od -An -tu2 -j $((at + flags_at)) -N 2 "$zip_file") & 0x800)) ||
    fail "the archive does not mark the name 使用说明.txt as UTF-8 (header $signature)"
done

echo "-- file properties, time stamps and paths of the unsigned programs"
for program in VANROInstaller VANROLauncher; do
  exe=$dir/build-1/$program.exe
  properties=$(strings -el "$exe" | tr '\n' '|')
  for expected in "|FileDescription|Lirra Chinese patch ${program#VANRO}|" "|ProductName|Lirra Chinese patch|" \
    "|FileVersion|$version|" "|ProductVersion|$version|" "|OriginalFilename|$program.exe|"; do
    [[ ${properties,,} == *"${expected,,}"* ]] || fail "$program.exe: no version resource entry ${expected//|/ }"
  done
  stamp=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^Time\/Date[[:space:]]*//p')
  [[ $stamp == "Thu Jan  1 00:00:00 1970" ]] || fail "$program.exe: PE time stamp $stamp"
  ! strings -a "$exe" | grep -F -e "$root" -e "$dir" || fail "$program.exe: holds a path of this machine"
done

echo "-- Authenticode signatures"
for program in "$top/VANROInstaller.exe" "$top/patch/VANROLauncher.exe"; do
  osslsigncode verify -CAfile "$cert" -in "$dir/unpacked/$program" >"$dir/verify.log" 2>&1 ||
    fail "$program: the signature does not verify: $(tail -n 3 "$dir/verify.log")"
done
changed=$dir/unpacked/changed.exe
cp "$dir/unpacked/$top/VANROInstaller.exe" "$changed"
offset=4096
byte=$(od -An -tu1 -j $offset -N 1 "$changed" | tr -d ' ')
printf "\\x$(printf '%02x' $((byte ^ 1)))" | dd of="$changed" bs=1 seek=$offset conv=notrunc status=none
cmp -s "$changed" "$dir/unpacked/$top/VANROInstaller.exe" && fail "the byte was not changed"
if osslsigncode verify -CAfile "$cert" -in "$changed" >"$dir/verify.log" 2>&1; then
  fail "a program with a changed byte still verifies"
fi
echo "a changed byte at $offset fails: $(grep -m 1 -i -e 'mismatch' -e 'failed' "$dir/verify.log")"
echo "release tests passed"
