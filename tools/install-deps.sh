#!/bin/bash
# Installs the Debian packages that building and testing need, only those that
# are missing. Runs as root, or through sudo.
set -euo pipefail

PACKAGES=(
    cmake make g++-mingw-w64-x86-64-posix mingw-w64-tools googletest
    wine64 libwine fonts-wine xvfb
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav gstreamer1.0-tools
    ffmpeg bc imagemagick fp-utils zip
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "Installing: ${missing[*]}"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
