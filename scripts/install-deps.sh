#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, run and test Pylax.
# Run as root. Packages already present are not fetched again.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools fonts-dejavu-core
  # The trend and the plot draw with QCustomPlot; its -dev package holds the
  # header and the CMake files of both builds and pulls in Qt 5's -dev files,
  # but only the Qt 6 library (libQCustomPlotQt6) is linked.
  libqcustomplot-dev libqcustomplot2.1-qt6
  libgtest-dev libgmock-dev libbenchmark-dev
  libmodbus-dev
  # A general Modbus TCP client (libmodbus) that the gateway's tests read through.
  mbpoll
  libcli11-dev nlohmann-json3-dev
  libmosquitto-dev mosquitto mosquitto-clients libcpp-httplib-dev openssl
  # The monitor's sd_notify (Type=notify service).
  libsystemd-dev
  # The Debian packages (scripts/package.sh: CPack, dpkg-shlibdeps) and their
  # tests: lintian, systemd-analyze verify of the unit (man for its
  # Documentation= pages), bash-completion's loader.
  dpkg-dev lintian systemd man-db bash-completion
  # The log archive: SQLite for its embedded store, a real influxd for the
  # tests and the benchmark of its InfluxDB store, the zone data for the
  # daylight-saving test.
  libsqlite3-dev influxdb tzdata
  # The monitor's page: Chart.js, built into pylaxctl from Debian's package,
  # and a real headless chromium for its tests and benchmark (driven through
  # its DevTools protocol on a pipe, so no chromium-driver is needed).
  libjs-chart.js chromium
  xvfb xauth imagemagick
  # A window manager and a way to click its close boxes, to look at the windows under
  # Xvfb as a desktop shows them.
  openbox xdotool
  clang libclang-rt-14-dev
)

# The arm64 tools package (scripts/package.sh --arch arm64), cross-built on an
# amd64 machine: the cross compiler, the arm64 builds of the libraries the
# tools link (multiarch, beside the amd64 ones; dpkg must take the
# architecture first), and qemu-user to run its programs in the tests, which
# also fetch pages with curl and pick a free port with python3.
if [ "$(dpkg --print-architecture)" = amd64 ]; then
  packages+=(g++-aarch64-linux-gnu libmosquitto-dev:arm64 libsqlite3-dev:arm64 libsystemd-dev:arm64
             libcpp-httplib-dev:arm64 qemu-user curl python3)
  dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
fi

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
