#!/bin/bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Does nothing when all of it is already there.
set -e
packages=(cmake make python3 locales xvfb x11-apps imagemagick nsis
          g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-tools
          g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          wine wine32:i386 wine64 libwine-dev nlohmann-json3-dev googletest wixl
          openssl osslsigncode python3-cryptography
          clang libclang-rt-14-dev llvm ninja-build)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    echo "Installing: ${missing[*]}"
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# Russian and English UTF-8 locales for Wine's code pages and file names.
need_locale=0
for l in ru_RU.utf8 en_US.utf8; do
    locale -a 2>/dev/null | grep -qx "$l" || need_locale=1
done
if [ $need_locale -eq 1 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO sed -i -e 's/^# *\(ru_RU.UTF-8 UTF-8\)/\1/' -e 's/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    grep -q '^en_US.UTF-8 UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen
fi
