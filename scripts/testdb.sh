#!/usr/bin/env bash
# A private MariaDB server for the tests and the example, on a Unix socket of
# its own (no TCP port), in a temporary data folder.
#
#   source scripts/testdb.sh; testdb_start; trap testdb_stop EXIT
#   bash scripts/testdb.sh start     # prints the variables to export
#   bash scripts/testdb.sh stop
#
# testdb_start exports MYSQL_UNIX_PORT (the socket, read by the client
# library) and the daemon's variables reportip, reportlogin, reportpassword
# and reportdb; the database named by reportdb holds sql/reporting.sql.
# Tests create further databases of their own through the same account.

testdb_root() { (cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd); }

# The folder of a server started by "bash scripts/testdb.sh start" is kept
# here, so that a later "stop" finds it.
testdb_statefile() { echo "$(testdb_root)/build/.testdb-dir"; }

testdb_start() {
  local root dir sock admin i
  root=$(testdb_root)
  dir=$(mktemp -d /tmp/kxtestdb.XXXXXX) || return 1
  sock="$dir/mysqld.sock"
  TESTDB_DIR=$dir
  export TESTDB_DIR

  local userargs=()
  if [ "$(id -u)" -eq 0 ]; then userargs=(--user=root); fi

  if ! mariadb-install-db --no-defaults --datadir="$dir/data" "${userargs[@]}" \
      --auth-root-authentication-method=socket --skip-test-db \
      >"$dir/install.log" 2>&1; then
    echo "testdb: mariadb-install-db failed:" >&2
    cat "$dir/install.log" >&2
    rm -rf "$dir"
    return 1
  fi

  mariadbd --no-defaults --datadir="$dir/data" --socket="$sock" \
    --pid-file="$dir/mysqld.pid" --skip-networking "${userargs[@]}" \
    --log-error="$dir/error.log" --innodb-buffer-pool-size=64M \
    --max-connections=500 >/dev/null 2>&1 &
  echo $! >"$dir/started.pid"

  # The account that installed the data folder reaches the server through
  # the socket without a password.
  admin=(mariadb --no-defaults --socket="$sock" -u "$(id -un)")
  for ((i = 0; i < 300; i++)); do
    if [ -S "$sock" ] && "${admin[@]}" -e 'select 1' >/dev/null 2>&1; then
      break
    fi
    sleep 0.1
  done
  if ! "${admin[@]}" -e 'select 1' >/dev/null 2>&1; then
    echo "testdb: the server did not answer:" >&2
    cat "$dir/error.log" >&2
    testdb_stop
    return 1
  fi

  reportip=localhost
  reportlogin=kxtest
  reportpassword=kxtest-pw
  reportdb=kxreport
  MYSQL_UNIX_PORT=$sock
  export reportip reportlogin reportpassword reportdb MYSQL_UNIX_PORT

  if ! "${admin[@]}" <<EOF
CREATE USER '$reportlogin'@'localhost' IDENTIFIED BY '$reportpassword';
GRANT ALL PRIVILEGES ON *.* TO '$reportlogin'@'localhost';
CREATE DATABASE $reportdb CHARACTER SET utf8mb4;
EOF
  then
    echo "testdb: could not create the account" >&2
    testdb_stop
    return 1
  fi
  if ! "${admin[@]}" "$reportdb" <"$root/sql/reporting.sql"; then
    echo "testdb: could not load sql/reporting.sql" >&2
    testdb_stop
    return 1
  fi
  echo "testdb: MariaDB on $sock (database $reportdb)" >&2
}

testdb_stop() {
  local dir=${TESTDB_DIR:-} pid i
  if [ -z "$dir" ] && [ -f "$(testdb_statefile)" ]; then
    dir=$(cat "$(testdb_statefile)")
  fi
  [ -n "$dir" ] && [ -d "$dir" ] || return 0
  case "$dir" in /tmp/kxtestdb.*) ;; *) echo "testdb: refusing to remove $dir" >&2; return 1 ;; esac
  # The server's own pid file, else the pid it was started with.
  pid=
  if [ -f "$dir/mysqld.pid" ]; then pid=$(cat "$dir/mysqld.pid")
  elif [ -f "$dir/started.pid" ]; then pid=$(cat "$dir/started.pid"); fi
  if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
    for ((i = 0; i < 300; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    # Still there after 30 s: end it.
    if kill -0 "$pid" 2>/dev/null; then kill -9 "$pid" 2>/dev/null || true; fi
  fi
  rm -rf "$dir"
  if [ -f "$(testdb_statefile)" ] && [ "$(cat "$(testdb_statefile)")" = "$dir" ]; then
    rm -f "$(testdb_statefile)"
  fi
  unset TESTDB_DIR
  return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    start)
      testdb_start || exit 1
      mkdir -p "$(testdb_root)/build"
      echo "$TESTDB_DIR" >"$(testdb_statefile)"
      echo "export MYSQL_UNIX_PORT=$MYSQL_UNIX_PORT reportip=$reportip" \
        "reportlogin=$reportlogin reportpassword=$reportpassword reportdb=$reportdb"
      ;;
    stop) testdb_stop ;;
    *) echo "usage: $0 start|stop" >&2; exit 2 ;;
  esac
fi
