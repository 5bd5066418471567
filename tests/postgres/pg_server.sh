#!/usr/bin/env bash
# Throw-away PostgreSQL servers for the tests, each on a Unix socket in its own directory, run as
# an unprivileged user (the server refuses to run as root).
#   pg_server.sh template DIR          initialise a cluster in DIR once (initdb is the slow part)
#   pg_server.sh start TEMPLATE DIR    a copy of the template in DIR, started; prints its URI
#   pg_server.sh restart DIR           starts the server of DIR again after a stop
#   pg_server.sh stop DIR              stops it (no error when it is not running)
#   pg_server.sh remove DIR            stops it and removes DIR
set -euo pipefail

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bin" ]; then
  echo "pg_server: no PostgreSQL under /usr/lib/postgresql (scripts/setup.sh installs it)" >&2
  exit 1
fi
user=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
  user=postgres
  getent passwd postgres >/dev/null || user=nobody
fi

as_user() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u "$user" -- "$@"; else "$@"; fi
}

template() {
  local dir=$1
  mkdir -p "$dir"
  chmod 755 "$dir"
  exec 9>"$dir.lock"
  flock 9
  if [ ! -f "$dir/data/PG_VERSION" ]; then
    rm -rf "$dir/data"
    mkdir "$dir/data"
    chown "$user" "$dir/data"
    as_user "$bin/initdb" -D "$dir/data" -U kora -A trust -N -E UTF8 --no-locale >/dev/null
  fi
  flock -u 9
}

run() {
  local dir=$1
  as_user "$bin/pg_ctl" -D "$dir/data" -l "$dir/data/server.log" -w -t 120 \
    -o "-k $dir/data -c listen_addresses= -F -c shared_buffers=16MB -c max_connections=60" \
    start >/dev/null
}

stop() {
  local dir=$1
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_user "$bin/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null || true
  fi
}

case "${1:-}" in
  template) template "$2" ;;
  start)
    template "$2"
    rm -rf "$3"
    mkdir -p "$3"
    chmod 755 "$3"
    cp -a "$2/data" "$3/data"
    run "$3"
    echo "postgresql:///postgres?host=$3/data&user=kora"
    ;;
  restart) run "$2" ;;
  stop) stop "$2" ;;
  remove)
    stop "$2"
    rm -rf "$2" "$2.lock"
    ;;
  *)
    echo "usage: $0 template DIR | start TEMPLATE DIR | restart DIR | stop DIR | remove DIR" >&2
    exit 2
    ;;
esac
