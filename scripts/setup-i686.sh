#!/usr/bin/env bash
# The `i686` group of scripts/setup.sh: an i386 Wine that runs the shipped 32-bit programs on a
# 64-bit kernel that cannot execute 32-bit code itself (i386 ELF gives "Exec format error").
#
# Debian 12's own i386 Wine (wine32, wine32-preloader and their i386 dependencies) is unpacked into
# build/wine32/root, and qemu user mode (qemu-i386 from qemu-user in bookworm-backports) translates
# it. Nothing is installed into the host: no dpkg architecture is added, the host's dpkg state and
# its wine64 stay as they are. The packages come from the host's Debian mirror through a private apt
# configuration (its own sources, lists, cache and an empty dpkg status), and are unpacked with
# dpkg-deb -x; then this script does what their maintainer scripts would have done, narrows the
# preloader's address range for qemu and points the i386 fontconfig at the host's fonts (both say
# why below), so that the 32-bit Wine draws Chinese as the 64-bit one does. Last, the kernel
# is told to hand every i386 ELF to qemu-i386 (binfmt_misc), because Wine execs its loader, its
# preloader and every new Windows process; that step alone needs root.
#
# qemu 10.0 and not bookworm's own 7.2: under 7.2 the programs run, but Wine's own services crash
# and GoogleTest's test listing times out.
#
# Safe to run again: each step is skipped when its result is already there. scripts/wine32 runs a
# program with what this makes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dest=${VANRO_WINE32_DIR:-$root/build/wine32}
apt_dir=$dest/apt
sysroot=$dest/root

say() { echo "setup i686: $*"; }

as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

# The host's Debian mirror, so that the private configuration reaches the same server as apt itself.
debian_mirror() {
  local uri
  uri=$(grep -hoE '^URIs: *[^ ]+/debian/?$' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1 | sed 's/^URIs: *//')
  [[ -n $uri ]] || uri=$(grep -hoE '^deb +(\[[^]]*\] +)?[^ ]+/debian/? ' /etc/apt/sources.list 2>/dev/null |
                           head -n 1 | awk '{print $NF}')
  echo "${uri:-http://deb.debian.org/debian}"
}

# One private apt tree per architecture: its own sources, lists, cache and an empty dpkg status, so
# that dependencies resolve as on an empty i386 system and the host's packages do not count.
write_apt_config() {
  local arch=$1 mirror=$2
  shift 2
  local dir=$apt_dir/$arch keyring=/usr/share/keyrings/debian-archive-keyring.gpg options="arch=$arch"
  [[ -r $keyring ]] && options+=" signed-by=$keyring"
  mkdir -p "$dir"/{lists/partial,archives/partial,parts,preferences}
  : >"$dir/status"
  printf "deb [$options] $mirror %s main\n" "$@" >"$dir/sources.list"
  cat >"$dir/apt.conf" <<EOF
Dir::Etc::SourceList "$dir/sources.list";
Dir::Etc::SourceParts "$dir/parts";
Dir::Etc::Preferences "$dir/preferences/none";
Dir::Etc::PreferencesParts "$dir/preferences";
Dir::State "$dir";
Dir::State::Lists "$dir/lists";
Dir::State::status "$dir/status";
Dir::Cache "$dir";
Dir::Cache::Archives "$dir/archives";
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
APT::Install-Recommends "false";
APT::Get::AllowUnauthenticated "false";
EOF
  # As root, apt hands downloads to its sandbox user, who may not write into the build tree.
  [[ $(id -u) -ne 0 ]] || echo 'APT::Sandbox::User "root";' >>"$dir/apt.conf"
}

private_apt() {
  local arch=$1
  shift
  APT_CONFIG=$apt_dir/$arch/apt.conf apt-get -qq "$@"
}

# ---- i386 Wine ---------------------------------------------------------------------------------

unpack_wine() {
  local mirror=$1
  write_apt_config i386 "$mirror" bookworm bookworm-updates
  say "downloading Debian's i386 Wine and its dependencies"
  # A mirror in the middle of a sync can fail one index; the download below says if one is missing.
  private_apt i386 update || say "apt-get update reported errors; going on with the lists it has"
  private_apt i386 install -y --download-only wine32 wine32-preloader >/dev/null
  say "unpacking $(ls "$apt_dir"/i386/archives/*.deb | wc -l) packages into $sysroot"
  rm -rf "$sysroot.partial"
  mkdir -p "$sysroot.partial"
  for deb in "$apt_dir"/i386/archives/*.deb; do dpkg-deb -x "$deb" "$sysroot.partial"; done
  mark_builtin_dlls "$sysroot.partial"
  # The i386 loader reads ld.so.cache from the root (qemu maps its paths there); without one it
  # falls back to the host's cache, which names 64-bit libraries.
  echo 'include /etc/ld.so.conf.d/*.conf' >"$sysroot.partial/etc/ld.so.conf"
  ldconfig -r "$sysroot.partial"
  dpkg-deb -f "$(ls "$apt_dir"/i386/archives/wine32_*.deb)" Version >"$sysroot.partial/wine32-version"
  rm -rf "$sysroot"
  mv "$sysroot.partial" "$sysroot"
  rm -f "$apt_dir"/i386/archives/*.deb
}

# libwine's postinst turns the mingw zlib1.dll into a Wine builtin: it writes the builtin signature
# into the gap between the DOS header and the PE header, where Wine looks for it.
mark_builtin_dlls() {
  local target=$1 pair in out
  for pair in i686:i386 x86_64:x86_64; do
    in=$target/usr/${pair%%:*}-w64-mingw32/lib/zlib1.dll
    out=$target/usr/lib/i386-linux-gnu/wine/${pair##*:}-windows/zlib1.dll
    [[ -f $in && -d ${out%/*} ]] || continue
    rm -f "$out"
    { head -c 64 "$in"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$in"; } >"$out"
  done
}

# qemu's loader reserves the whole address range that an executable's loadable segments span, where
# Linux maps each segment alone. Wine's preloader keeps its build-id note at 0x08048000 and its code
# at 0x7d400000, so under qemu all between stays reserved, 0x68000000-0x7d000000 included: the range
# where a 32-bit Wine process maps its Linux libraries and their files (the rest of the low 2 GiB is
# kept for Windows). What is left there is too small for the dialog's 5 MB Chinese font once the
# libraries are loaded, and every Chinese character became a box. Nothing reads the note at run
# time; its segment and its note header are made empty, so that the preloader spans its code alone.
compact_preloader() {
  local file entry phoff size count i at type vaddr
  file=$(readlink -f "$1")
  u32() { od -An -t u4 -j "$1" -N 4 "$file" | tr -d ' '; }
  u16() { od -An -t u2 -j "$1" -N 2 "$file" | tr -d ' '; }
  entry=$(u32 24)
  phoff=$(u32 28)
  size=$(u16 42)
  count=$(u16 44)
  for ((i = 0; i < count; i++)); do
    at=$((phoff + i * size))
    type=$(u32 "$at")
    vaddr=$(u32 $((at + 8)))
    if ((type == 1 || type == 4)) && ((vaddr < entry)); then
      printf '\0\0\0\0' | dd of="$file" bs=1 seek="$at" conv=notrunc status=none
    fi
  done
}

# ---- fonts ---------------------------------------------------------------------------------------

# The i386 fontconfig reads the host's configuration, font folders and fonts, so that both Wines draw
# with the same fonts (the dialog's Chinese texts need WenQuanYi, which the host has). qemu maps a path
# into the root only when the root holds it, and only when a file is opened, not when it is asked
# about (stat, access): with font folders of its own, the root's folders would be listed from the
# root but dated from the host, and fontconfig's cache would then keep the wrong list for good (only
# DejaVu, every Chinese character a box). So the root keeps no font folders and no configuration.
# The cache is one of the i386 Wine's own (scripts/wine32 names this configuration): a 32-bit cache
# in the host's cache folder may have been written by such a mixed root, and looks valid there.
use_host_fonts() {
  rm -rf "$sysroot/etc/fonts" "$sysroot/usr/share/fonts" "$sysroot/usr/share/fontconfig"
  mkdir -p "$dest/fontconfig-cache"
  sed -e '/<cachedir/d' -e "s|^</fontconfig>|\t<cachedir>$dest/fontconfig-cache</cachedir>\n</fontconfig>|" \
    /etc/fonts/fonts.conf >"$dest/fonts.conf.partial"
  mv "$dest/fonts.conf.partial" "$dest/fonts.conf"
}

# ---- qemu-i386 -----------------------------------------------------------------------------------

unpack_qemu() {
  local mirror=$1
  write_apt_config amd64 "$mirror" bookworm-backports
  say "downloading qemu-user from bookworm-backports"
  private_apt amd64 update
  rm -rf "$apt_dir/amd64/qemu" "$apt_dir"/amd64/qemu-user_*.deb
  (cd "$apt_dir/amd64" && private_apt amd64 download qemu-user/bookworm-backports)
  dpkg-deb -x "$apt_dir"/amd64/qemu-user_*.deb "$apt_dir/amd64/qemu"
  cp "$apt_dir/amd64/qemu/usr/bin/qemu-i386" "$dest/qemu-i386.partial"
  mv "$dest/qemu-i386.partial" "$dest/qemu-i386"
  rm -rf "$apt_dir/amd64/qemu" "$apt_dir"/amd64/qemu-user_*.deb
}

# ---- binfmt_misc -------------------------------------------------------------------------------

# Whether the kernel already hands i386 ELF executables to an interpreter (this script's or one the
# host set up itself, which is left alone).
i386_handler_registered() {
  local entry
  for entry in /proc/sys/fs/binfmt_misc/*; do
    [[ -f $entry && $entry != */register && $entry != */status ]] || continue
    if head -n 1 "$entry" | grep -qx enabled && grep -q '^magic 7f454c4601010100000000000000000002000300' "$entry"
    then return 0; fi
  done
  return 1
}

# Magic and mask: ELF, 32-bit, little-endian, version 1, an executable or shared object (type 2 or
# 3), machine 3 (i386). Flag F opens the interpreter now, so the entry keeps working in other
# mount namespaces and after the build tree is removed.
register_i386_handler() {
  local binfmt=/proc/sys/fs/binfmt_misc
  mountpoint -q "$binfmt" || as_root mount -t binfmt_misc binfmt_misc "$binfmt"
  if i386_handler_registered; then return 0; fi
  say "registering $dest/qemu-i386 for i386 ELF executables in binfmt_misc"
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf '%s' ":qemu-i386:M::$magic:$mask:$dest/qemu-i386:F" | as_root tee "$binfmt/register" >/dev/null
}

# ---- main --------------------------------------------------------------------------------------

mkdir -p "$dest"
if [[ ! -x $sysroot/usr/lib/wine/wine || ! -f $sysroot/wine32-version ]] || [[ ! -x $dest/qemu-i386 ]]; then
  mirror=$(debian_mirror)
  [[ -x $sysroot/usr/lib/wine/wine && -f $sysroot/wine32-version ]] || unpack_wine "$mirror"
  [[ -x $dest/qemu-i386 ]] || unpack_qemu "$mirror"
fi
compact_preloader "$sysroot/usr/lib/wine/wine-preloader"
use_host_fonts
register_i386_handler
