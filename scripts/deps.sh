#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 machine.
# Run as root; does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config python3 googletest libgtest-dev zlib1g-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine64 xvfb xdotool imagemagick fonts-arphic-uming locales
  libdivsufsort-dev libzopfli-dev bsdiff xdelta3 zstd gnuplot-nox
  clang libclang-rt-14-dev cppcheck clang-tidy
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Chinese text under Wine needs the Traditional Chinese locale.
if ! locale -a 2>/dev/null | grep -qi '^zh_TW.utf8$'; then
  if [ "$(id -u)" = 0 ]; then
    sed -i 's/^# *zh_TW.UTF-8 UTF-8/zh_TW.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^zh_TW.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_TW.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null 2>&1 || true
  fi
fi
