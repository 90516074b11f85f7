#!/usr/bin/env bash
# Builds the Debian packages from a build folder (the plain build, `build`,
# unless another is named): BUILD/packages/pylax-tools_VERSION_ARCH.deb (the
# headless tools and the monitor's service) and pylax_VERSION_ARCH.deb (the
# windows). Only what the packages hold is built, if it is not already; CPack
# then installs it into a staging tree, strips it, and has dpkg-shlibdeps
# write each package's Depends.
#   bash scripts/package.sh [BUILD]
#   sudo apt install ./build/packages/pylax-tools_*.deb ./build/packages/pylax_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j "$(nproc)" --target pylax_package_contents
rm -f "$build"/packages/*.deb
(cd "$build" && cpack -G DEB --config CPackConfig.cmake)
ls "$build"/packages/*.deb
