#!/usr/bin/env bash
# Builds the Debian packages tarvo and tarvo-server (and their -dbgsym packages) into
# build/package/ (or the folder given as the first argument): a release build with Debian's
# hardening flags and without the tests, then CPack.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${1:-build/package}
# Debian's full hardening: PIE, stack protector, fortify, RELRO and immediate binding.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# Given on the command line, not through the environment, so a build folder that exists
# already takes them too.
cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build"
(cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
ls "$build"/*.deb
