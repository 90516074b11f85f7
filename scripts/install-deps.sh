#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, run and test Pylax.
# Run as root. Packages already present are not fetched again.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  # Qt Charts needs the OpenGL module's CMake files, which its package does not pull in.
  qt6-base-dev qt6-base-dev-tools qt6-charts-dev libqt6opengl6-dev libgl-dev fonts-dejavu-core
  libgtest-dev libgmock-dev libbenchmark-dev
  libmodbus-dev
  libcli11-dev nlohmann-json3-dev
  libmosquitto-dev mosquitto mosquitto-clients libcpp-httplib-dev openssl
  xvfb xauth imagemagick
  # A window manager and a way to click its close boxes, to look at the windows under
  # Xvfb as a desktop shows them.
  openbox xdotool
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
