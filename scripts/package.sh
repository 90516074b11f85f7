#!/usr/bin/env bash
# Builds the Debian packages from a build folder (the plain build, `build`,
# unless another is named): BUILD/packages/pylax-tools_VERSION_ARCH.deb (the
# headless tools and the monitor's service) and pylax_VERSION_ARCH.deb (the
# windows). Only what the packages hold is built, if it is not already; CPack
# then installs it into a staging tree, strips it, and has dpkg-shlibdeps
# write each package's Depends.
#
# --arch arm64 cross-builds the tools package alone for 64-bit ARM boards, in
# build-arm64 unless another folder is named: the Qt-free targets only, with
# cmake/aarch64-linux-gnu.cmake, against the arm64 libraries multiarch
# installs (scripts/install-deps.sh), its Depends taken from those.
#   bash scripts/package.sh [--arch arm64] [BUILD]
#   sudo apt install ./build/packages/pylax-tools_*.deb ./build/packages/pylax_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
arch=
if [ "${1:-}" = --arch ]; then
  arch=${2:?--arch takes an architecture}
  shift 2
  [ "$arch" = arm64 ] || { echo "package.sh: --arch takes arm64 only" >&2; exit 2; }
fi
build=$(realpath "${1:-build${arch:+-$arch}}")

if [ ! -f "$build/CMakeCache.txt" ]; then
  if [ -n "$arch" ]; then
    # Optimised as the plain build is, and nothing but what the package holds.
    launcher=()
    if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
    cmake -S . -B "$build" -G Ninja --toolchain cmake/aarch64-linux-gnu.cmake \
      -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DPYLAX_WERROR=ON \
      -DPYLAX_BUILD_GUI=OFF -DPYLAX_BUILD_TESTS=OFF -DPYLAX_BUILD_BENCH=OFF "${launcher[@]}"
  else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  fi
fi
cmake --build "$build" -j "$(nproc)" --target pylax_package_contents
rm -f "$build"/packages/*.deb
# dpkg-shlibdeps takes each library of the binary's own machine (ELF), so an
# arm64 build's Depends come from the arm64 libraries.
(cd "$build" && cpack -G DEB --config CPackConfig.cmake)
ls "$build"/packages/*.deb
