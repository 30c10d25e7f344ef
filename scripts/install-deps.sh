#!/usr/bin/env bash
# Installs what building and running Murmurly needs on Debian 12; with
# --test also the test, fuzz and checking tools. Quiet and quick when
# everything is there already.
set -euo pipefail

packages=(
  build-essential
  cmake
  lld # links the many test programs much faster than the default linker
  pkg-config
  qt6-base-dev
  qtkeychain-qt6-dev # the remembered password in the desktop's keyring
  libgl-dev
  libasio-dev
  libcli11-dev # the command lines of murmurly-server and murmurlyctl
  libsqlite3-dev # the server's store and the client's conversation history
  libpqxx-dev
  libsodium-dev
  libssl-dev
  libsystemd-dev # sd_notify: the server tells systemd it is ready and alive
  dpkg-dev
  file
)
if [[ ${1:-} == --test ]]; then
  packages+=(
    libgtest-dev
    postgresql
    clang-14
    libclang-rt-14-dev
    desktop-file-utils
    appstream
    systemd
    man-db
    lintian
    nats-server
    dbus-daemon # the accessibility test reads the tree as a screen reader does
    at-spi2-core
    python3-pyatspi
    qt6-base-private-dev # the accessibility test makes Qt's AT-SPI bridge itself
    gnome-keyring # a real keyring for the keyring tests, in a private D-Bus session
  )
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
