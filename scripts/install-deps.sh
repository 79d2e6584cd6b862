#!/bin/bash
# Installs what building and testing need, from Debian's packages (as root).
set -euo pipefail
packages=(cmake ninja-build ccache g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev googletest
          libbenchmark-dev libasio-dev libasound2-dev libssl-dev pkg-config libsrtp2-dev
          g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64
          tshark pulseaudio pulseaudio-utils libasound2-plugins
          gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
          nsis dpkg-dev zip unzip lintian prometheus chromium procps)
if [ "${1:-}" = "--run-only" ]; then
  packages=(cmake ninja-build g++ libasio-dev libasound2-dev libssl-dev)
elif [ "${1:-}" = "--package" ]; then
  # scripts/package.sh: both release builds, the installer, the zip and the Debian package.
  packages=(cmake ninja-build g++ libasio-dev libasound2-dev libssl-dev g++-mingw-w64-x86-64-posix mingw-w64-tools
            nsis dpkg-dev zip)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
