#!/usr/bin/env bash
# Builds the Debian packages vistrel and vistrel-desktop: a Release build
# without tests or benchmarks in build-pkg/, with Debian's hardening flags,
# packed by CPack's DEB generator. The .deb files end up in build-pkg/packages/.
# Needs what tools/install-deps.sh installs (dpkg-shlibdeps comes with g++).
set -euo pipefail
cd "$(dirname "$0")/.."
build="build-pkg"
jobs=$(nproc)

# Debian's compiler and linker flags for packages: fortified functions, stack
# protection, read-only relocations, immediate binding.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cxxflags=$(dpkg-buildflags --get CXXFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$build" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DCMAKE_STRIP="$PWD/packaging/debian-strip.sh" \
  -DVISTREL_BUILD_TESTS=OFF \
  -DVISTREL_BUILD_BENCH=OFF \
  -DVISTREL_BUILD_WINDOW=ON
cmake --build "$build" -j "$jobs"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB)
ls -l "$build"/packages/*.deb
