#!/usr/bin/env bash
# A private MariaDB server with the reporting schema, on a Unix socket of its
# own (no TCP port).
#
# For a try-out, a database that lives until it is destroyed:
#
#   eval "$(bash scripts/testdb.sh start)"   # starts it; prints the variables to export
#   bash scripts/testdb.sh stop              # stops it; the data stays
#   bash scripts/testdb.sh start             # the same database again
#   bash scripts/testdb.sh destroy           # stops it and removes the data
#   bash scripts/testdb.sh status
#
# Its folder is build/testdb in the source tree, or KX_TESTDB_DIR when set
# (the socket path must stay below about 100 characters).
#
# For tests and the demo, a temporary server:
#
#   source scripts/testdb.sh; testdb_start; trap testdb_stop EXIT
#
# testdb_start makes a fresh folder /tmp/kxtestdb.XXXXXX, which testdb_stop
# removes again. Both forms export MYSQL_UNIX_PORT (the socket, read by the
# client library) and the daemon's variables reportip, reportlogin,
# reportpassword and reportdb; the database named by reportdb holds
# sql/reporting.sql. Tests create further databases of their own through the
# same account.

testdb_root() { (cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd); }

# The folder of the database that "start" keeps.
testdb_keptdir() { echo "${KX_TESTDB_DIR:-$(testdb_root)/build/testdb}"; }

# The account and database of every server made here.
testdb_vars() {
  reportip=localhost
  reportlogin=kxtest
  reportpassword=kxtest-pw
  reportdb=kxreport
  MYSQL_UNIX_PORT=$1/mysqld.sock
  TESTDB_DIR=$1
  export reportip reportlogin reportpassword reportdb MYSQL_UNIX_PORT TESTDB_DIR
}

# The server's pid when one runs for folder $1 (its own pid file, else the
# pid it was started with).
testdb_pid() {
  local dir=$1 pid=
  if [ -f "$dir/mysqld.pid" ]; then pid=$(cat "$dir/mysqld.pid")
  elif [ -f "$dir/started.pid" ]; then pid=$(cat "$dir/started.pid"); fi
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 1
  # A pid file outlives a crash, and its number may name another process.
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "--datadir=$dir/data" || return 1
  echo "$pid"
}

# Runs mariadbd on folder $1 (installing the data first when there is none)
# and waits until it answers; sets up the account, the database and the
# schema when the data is new.
testdb_run() {
  local dir=$1 root sock admin i fresh=0
  root=$(testdb_root)
  sock="$dir/mysqld.sock"
  if [ ${#sock} -gt 100 ]; then
    echo "testdb: the socket path $sock is too long; set KX_TESTDB_DIR to a shorter folder" >&2
    return 1
  fi
  local userargs=()
  if [ "$(id -u)" -eq 0 ]; then userargs=(--user=root); fi

  if [ ! -d "$dir/data/mysql" ]; then
    fresh=1
    mkdir -p "$dir/tmp" || return 1
    # A temporary folder of its own: servers installed side by side never
    # meet in /tmp.
    if ! mariadb-install-db --no-defaults --datadir="$dir/data" --tmpdir="$dir/tmp" "${userargs[@]}" \
        --auth-root-authentication-method=socket --skip-test-db \
        >"$dir/install.log" 2>&1; then
      echo "testdb: mariadb-install-db failed:" >&2
      cat "$dir/install.log" >&2
      return 1
    fi
  fi

  rm -f "$dir/mysqld.pid" "$dir/started.pid"
  mkdir -p "$dir/tmp" || return 1
  mariadbd --no-defaults --datadir="$dir/data" --tmpdir="$dir/tmp" --socket="$sock" \
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
    testdb_halt "$dir"
    return 1
  fi

  testdb_vars "$dir"
  [ "$fresh" -eq 1 ] || return 0
  if ! "${admin[@]}" <<EOF
CREATE USER '$reportlogin'@'localhost' IDENTIFIED BY '$reportpassword';
GRANT ALL PRIVILEGES ON *.* TO '$reportlogin'@'localhost';
CREATE DATABASE $reportdb CHARACTER SET utf8mb4;
EOF
  then
    echo "testdb: could not create the account" >&2
    testdb_halt "$dir"
    return 1
  fi
  if ! "${admin[@]}" "$reportdb" <"$root/sql/reporting.sql"; then
    echo "testdb: could not load sql/reporting.sql" >&2
    testdb_halt "$dir"
    return 1
  fi
}

# Stops the server of folder $1, if one runs; the folder stays.
testdb_halt() {
  local dir=$1 pid i
  pid=$(testdb_pid "$dir") || return 0
  kill "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 300; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  # Still there after 30 s: end it.
  if kill -0 "$pid" 2>/dev/null; then kill -9 "$pid" 2>/dev/null || true; fi
  rm -f "$dir/started.pid"
  return 0
}

# A temporary server in a fresh folder (for tests and the demo).
testdb_start() {
  local dir
  dir=$(mktemp -d /tmp/kxtestdb.XXXXXX) || return 1
  TESTDB_DIR=$dir
  export TESTDB_DIR
  if ! testdb_run "$dir"; then
    rm -rf "$dir"
    unset TESTDB_DIR
    return 1
  fi
  echo "testdb: MariaDB on $MYSQL_UNIX_PORT (database $reportdb)" >&2
}

# Stops the temporary server of testdb_start and removes its folder.
testdb_stop() {
  local dir=${TESTDB_DIR:-}
  [ -n "$dir" ] && [ -d "$dir" ] || return 0
  case "$dir" in /tmp/kxtestdb.*) ;; *) echo "testdb: refusing to remove $dir" >&2; return 1 ;; esac
  testdb_halt "$dir"
  rm -rf "$dir"
  unset TESTDB_DIR
  return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  # The kept database only: a temporary server's variables inherited from a
  # test run are not this command's business.
  unset TESTDB_DIR
  dir=$(testdb_keptdir)
  case "${1:-}" in
    start)
      if testdb_pid "$dir" >/dev/null; then
        testdb_vars "$dir"
      else
        testdb_run "$dir" || exit 1
        echo "testdb: MariaDB on $MYSQL_UNIX_PORT (database $reportdb, folder $dir)" >&2
      fi
      echo "export MYSQL_UNIX_PORT=$MYSQL_UNIX_PORT reportip=$reportip" \
        "reportlogin=$reportlogin reportpassword=$reportpassword reportdb=$reportdb"
      ;;
    stop) testdb_halt "$dir" ;;
    destroy)
      testdb_halt "$dir"
      if [ -e "$dir" ] && [ ! -d "$dir/data" ] && [ -n "$(ls -A "$dir")" ]; then
        echo "testdb: $dir does not look like a test database; not removed" >&2
        exit 1
      fi
      rm -rf "$dir"
      ;;
    status)
      if pid=$(testdb_pid "$dir"); then echo "running (pid $pid) in $dir"
      elif [ -d "$dir/data" ]; then echo "stopped; data kept in $dir"
      else echo "no database in $dir"; fi
      ;;
    *) echo "usage: $0 start|stop|destroy|status" >&2; exit 2 ;;
  esac
fi
