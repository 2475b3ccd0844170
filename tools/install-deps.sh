#!/usr/bin/env bash
# Installs what the build and the tests use on Debian 12 or 13, as root. Safe to run again.
# It names no package that only one of them has: what differs is chosen by what is installed.
#   tools/install-deps.sh          everything: the three presets and the whole test suite
#   tools/install-deps.sh sample   only what tools/run-sample.sh needs (win32, win64, Wine, Xvfb)
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

set_name=${1:-all}

# The win32 and win64 presets, Wine with its 32-bit loader, and the headless screen the sample
# run photographs. fonts-wine holds Marlett: without it the caption buttons show as "0 1 r".
sample=(
  cmake ninja-build python3
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 wine32:i386 fonts-wine fonts-ipafont-gothic locales
  xvfb x11-utils imagemagick
)
# The native preset (clang with sanitizers, GoogleTest) and the tools the tests call; exFAT
# gives the Wine tests a real volume without hard links. The sanitizers' runtime goes with the
# release's clang (14 on Debian 12, 19 on 13), so it is added once clang is there.
rest=(
  ca-certificates git make g++ clang libgtest-dev googletest
  xauth procps psmisc icoutils osslsigncode openssl exfatprogs exfat-fuse
)

# The sample's window is Japanese; the tests also run the program under a Chinese system.
case "$set_name" in
  sample) packages=("${sample[@]}"); locales=(ja_JP.UTF-8) ;;
  all) packages=("${sample[@]}" "${rest[@]}"); locales=(ja_JP.UTF-8 zh_CN.UTF-8) ;;
  *) echo "usage: $0 [sample|all]" >&2; exit 2 ;;
esac

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
# apt_install: what is missing, through a mirror caught mid-sync too (tools/apt.sh).
. "$(dirname "$0")/apt.sh"
apt_install "${packages[@]}"
if [ "$set_name" = all ]; then
  clang_major=$(clang -dumpversion | cut -d. -f1)
  apt_install "libclang-rt-${clang_major}-dev"
fi

# Debian's Wine 8 looks for its own fonts under a wrong path and never loads them; from the
# local fonts folder it takes Marlett like any other font. Only Marlett: the others would
# change which faces stand in for the Windows ones. Wine 10 loads its own fonts, Marlett among
# them, and takes the same file twice without harm. The file is where fonts-wine put it.
marlett=$(dpkg -L fonts-wine | awk '/\/marlett\.ttf$/ && !found { print; found = 1 }')
mkdir -p /usr/local/share/fonts/wine
ln -sfn "$marlett" /usr/local/share/fonts/wine/marlett.ttf

missing_locales=
for name in "${locales[@]}"; do
  lang=${name%%.*}
  if ! locale -a 2>/dev/null | grep -qi "^${lang}\.utf-\?8$"; then
    sed -i "s/^# *\(${lang}.UTF-8 UTF-8\)/\1/" /etc/locale.gen
    grep -q "^${lang}.UTF-8 UTF-8" /etc/locale.gen || echo "${lang}.UTF-8 UTF-8" >> /etc/locale.gen
    missing_locales=1
  fi
done
if [ -n "$missing_locales" ]; then
  locale-gen
fi

# 32-bit Wine needs a kernel that runs i386 programs. Where it cannot (no IA32 emulation),
# qemu-i386 is registered to run them: slow (about a minute to start a program), but real.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  apt_install qemu-user-static
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      > /proc/sys/fs/binfmt_misc/register
  fi
  /usr/lib/wine/wine --version >/dev/null
fi
