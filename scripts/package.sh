#!/usr/bin/env bash
# Builds the Debian packages murmurly (the client) and murmurly-server (the
# server as a systemd service) into build/packages/, from a build of their
# own without tests in build-package/, installed under /usr.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_SYSCONFDIR=/etc
cmake --build build-package -j"$(nproc)"

out=$root/build/packages
rm -rf "$out"
mkdir -p "$out"
(cd build-package && cpack -G DEB -B "$out")
rm -rf "$out/_CPack_Packages"
ls "$out"/*.deb
