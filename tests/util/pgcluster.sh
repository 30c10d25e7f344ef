#!/usr/bin/env bash
# A throw-away PostgreSQL for the server tests.
#   pgcluster.sh start INFO   initdb and start one in a new folder under /tmp
#   pgcluster.sh stop INFO    stop it and remove the folder
#   pgcluster.sh restart INFO stop it as an operator would, and start it again
# It listens on a Unix socket in its folder only, never on TCP, and has an
# empty database "murmurly" in which each test makes a schema. INFO gets
# the folder on its first line (socket and data under it), or one line
# "unavailable: REASON" when no PostgreSQL is installed; the tests then skip
# with that reason. PostgreSQL refuses to run as root, so under root it runs
# as the user postgres.
set -euo pipefail
action=$1
info=$2

as_server_user() {
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

stop() {
  [[ -f $info ]] || return 0
  local dir
  dir=$(head -n 1 "$info")
  if [[ $dir != unavailable:* && -d $dir ]]; then
    if [[ -f $dir/data/postmaster.pid ]]; then
      as_server_user "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null || true
    fi
    rm -rf "$dir"
  fi
  rm -f "$info"
}

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)

case $action in
  start)
    stop
    if [[ -z $bindir || ! -x $bindir/initdb ]]; then
      echo "unavailable: no PostgreSQL server installed (scripts/install-deps.sh --test installs it)" >"$info"
      echo "PostgreSQL is not installed: the server tests against PostgreSQL are skipped"
      exit 0
    fi
    if [[ $(id -u) -eq 0 ]] && ! id postgres >/dev/null 2>&1; then
      echo "unavailable: running as root and there is no user postgres to run PostgreSQL" >"$info"
      echo "no user postgres: the server tests against PostgreSQL are skipped"
      exit 0
    fi
    dir=$(mktemp -d /tmp/murmurly-pg-XXXXXX)
    [[ $(id -u) -eq 0 ]] && chown postgres: "$dir"
    echo "$dir" >"$info"
    # Throw-away data: no fsync. Trust is safe here: only this folder's
    # socket leads in.
    as_server_user "$bindir/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C --no-sync \
      >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log"; exit 1; }
    as_server_user "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-k $dir -c listen_addresses= -c fsync=off -c full_page_writes=off -c max_connections=200" \
      start >/dev/null || { cat "$dir/server.log"; exit 1; }
    as_server_user "$bindir/createdb" -h "$dir" -U postgres murmurly
    echo "PostgreSQL for the tests runs in $dir"
    ;;
  stop)
    stop
    ;;
  restart)
    dir=$(head -n 1 "$info")
    as_server_user "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -m fast -w -t 60 restart >/dev/null
    ;;
  *)
    echo "usage: $0 start|stop|restart INFO" >&2
    exit 2
    ;;
esac
