# Cross-builds for arm64 (64-bit ARM boards) with Debian 12's cross compiler
# (g++-aarch64-linux-gnu) against the arm64 -dev packages that multiarch puts
# under /usr/lib/aarch64-linux-gnu (dpkg --add-architecture arm64;
# scripts/install-deps.sh does it).
#   cmake -S . -B build-arm64 --toolchain cmake/aarch64-linux-gnu.cmake -DPYLAX_BUILD_GUI=OFF ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# find_library and find_package then look in the arm64 multiarch folders,
# and header-only packages (CLI11, nlohmann-json) are found where they are.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# pkg-config must read the arm64 .pc files only, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# The Debian architecture of the packages made from this build.
set(PYLAX_DEB_ARCH arm64)
# The tests of such a build run its programs under qemu-user.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
