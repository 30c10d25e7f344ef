#!/usr/bin/env bash
# Installs the dependencies, builds the two programs, starts the server on the
# port in config.txt when nothing answers there, then runs the client from
# the folder that holds config.txt. A server started here is stopped when the
# client exits.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh
scripts/build.sh --no-tests

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

is_loopback() {
  [[ $1 == localhost || $1 == 127.* || $1 == ::1 ]]
}

server=build/server/murmurly-server
server_pid=""
stop_server() {
  [[ -n $server_pid ]] || return 0
  if kill "$server_pid" 2>/dev/null; then
    wait "$server_pid" 2>/dev/null || true
    echo "Stopped the server that run.sh started (pid $server_pid)."
  fi
  server_pid=""
}
trap stop_server EXIT
trap 'exit 130' INT TERM

if [[ -n $host && -n $port ]] && ! answers "$host" "$port"; then
  if ! is_loopback "$host"; then
    echo "Nothing answers at $host:$port; starting the client alone."
  elif [[ -x $server ]]; then
    log="$root/build/murmurly-server.log"
    db="${XDG_DATA_HOME:-$HOME/.local/share}/murmurly/murmurly.db"
    address=$host
    [[ $host == localhost ]] && address=127.0.0.1
    echo "Starting $server on $address port $port."
    echo "  database: $db"
    echo "  log:      $log"
    "$server" --address "$address" --port "$port" >"$log" 2>&1 &
    server_pid=$!
    # Up to ten seconds for it to listen; stop waiting at once if it ends.
    for _ in $(seq 1 100); do
      answers "$host" "$port" && break
      if ! kill -0 "$server_pid" 2>/dev/null; then
        echo "The server ended at start; see $log."
        server_pid=""
        break
      fi
      sleep 0.1
    done
  else
    echo "Nothing answers at $host:$port and there is no server build; starting the client alone."
  fi
fi

status=0
build/shell/murmurly || status=$?
stop_server
exit "$status"
