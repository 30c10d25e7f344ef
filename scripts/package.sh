#!/usr/bin/env bash
# Builds the Debian packages murmurly (the client) and murmurly-server (the
# server as a systemd service) into build/packages/.
#
#   scripts/package.sh          from a build of their own in build-package/
#   scripts/package.sh TREE     from the built tree TREE, when it was
#                               configured as a package must be (installed
#                               under /usr, options in /etc, RelWithDebInfo);
#                               otherwise as if called alone
#
# The packages take only the install components client and server, so a
# tree with tests packages the same files as one without; the check at the
# end makes sure no test or benchmark program slipped in.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# The configuration a package needs, as the tree's cache holds it.
fits_packages() {
  local cache=$1/CMakeCache.txt
  [[ -f $cache ]] &&
    grep -qx 'CMAKE_INSTALL_PREFIX:PATH=/usr' "$cache" &&
    grep -qx 'CMAKE_INSTALL_SYSCONFDIR:PATH=/etc' "$cache" &&
    grep -qx 'CMAKE_BUILD_TYPE:STRING=RelWithDebInfo' "$cache" &&
    ! grep -q '^MURMURLY_SANITIZE:STRING=.' "$cache" &&
    ! grep -qx 'MURMURLY_SERVER_ONLY:BOOL=ON' "$cache"
}

tree=${1:-}
if [[ -n $tree ]] && fits_packages "$tree"; then
  echo "package: from the built tree $tree"
  cmake --build "$tree" -j"$(nproc)"
else
  [[ -z $tree ]] || echo "package: $tree is not configured for packages; building build-package"
  scripts/install-deps.sh
  tree=build-package
  cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_SYSCONFDIR=/etc
  cmake --build "$tree" -j"$(nproc)"
fi

out=$root/build/packages
rm -rf "$out"
mkdir -p "$out"
(cd "$tree" && cpack -G DEB -B "$out")
rm -rf "$out/_CPack_Packages"

# The programs the packages may carry, and nothing else.
allowed=$'./usr/bin/murmurly\n./usr/bin/murmurly-server\n./usr/bin/murmurlyctl'
programs=$(for deb in "$out"/*.deb; do dpkg-deb --fsys-tarfile "$deb" | tar -t; done |
  grep -E '^\./usr/bin/.' | sort)
if [[ $programs != "$allowed" ]]; then
  echo "package: the packages carry other programs than the three:"
  printf '%s\n' "$programs"
  exit 1
fi
ls "$out"/*.deb
