#!/usr/bin/env bash
# Installs the dependencies, builds, starts the server when nothing answers at
# the address in config.txt, then starts the client from the folder that
# holds config.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh
scripts/build.sh

# The last IP_ADDRESS and PORT_NUM lines of config.txt, as the client reads them.
config_value() {
  local key=$1 line value=""
  while IFS= read -r line || [[ -n $line ]]; do
    line=${line%$'\r'}
    [[ $line == //* ]] && continue
    [[ $line == "$key="* ]] && value=${line#"$key="}
  done < config.txt
  printf '%s' "$value"
}
host=$(config_value IP_ADDRESS)
port=$(config_value PORT_NUM)

answers() {
  timeout 1 bash -c "</dev/tcp/$1/$2" 2>/dev/null
}

server=build/server/murmurly-server
if [[ -n $host && -n $port ]] && ! answers "$host" "$port"; then
  if [[ -x $server ]]; then
    log="$root/build/murmurly-server.log"
    db="${XDG_DATA_HOME:-$HOME/.local/share}/murmurly/murmurly.db"
    echo "Starting $server on its defaults (127.0.0.1:7357)."
    echo "  database: $db"
    echo "  log:      $log"
    "$server" >"$log" 2>&1 &
    for _ in $(seq 1 50); do
      answers "$host" "$port" && break
      sleep 0.1
    done
  else
    echo "Nothing answers at $host:$port and there is no server build; starting the client alone."
  fi
fi

exec build/shell/murmurly
