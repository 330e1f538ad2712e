# A private MariaDB server for the tests and the demo: a throwaway data directory, loopback
# only, a free port and a socket, table names matched without regard to case, the library's
# account (role qbnotify_library) and the tools' reading account (role qbnotify_reader) with
# passwords used over TCP, and the three databases created from db/.
#
# Source it, then: qb_db_start DIR   (exports QB_DB_HOST QB_DB_PORT QB_DB_SOCKET QB_DB_USER
#                                     QB_DB_PASSWORD QB_DB_READER QB_DB_READER_PASSWORD
#                                     QB_DB_DS QB_DB_DC QB_DB_LOG, and
#                                     QB_DB_MIN_USER QB_DB_MIN_DS QB_DB_MIN_DC QB_DB_MIN_LOG)
#                  qb_db_stop         (also registered to run at exit)
#                  qb_sql DATABASE    (runs SQL from standard input as root over the socket)

QB_DB_USER=qbnotify
QB_DB_PASSWORD='qb-Pw-2026'
QB_DB_READER=qbreport
QB_DB_READER_PASSWORD='qb-Rd-2026'
QB_DB_DS=qbds
QB_DB_DC=qbdc
QB_DB_LOG=qblog
# The same three databases as a farm may hold them: only the columns the library names, no
# keys (db/minimal/). The tests run with QB_SCHEMA=minimal use them.
QB_DB_MIN_USER=qbnotify_min
QB_DB_MIN_DS=qbds_min
QB_DB_MIN_DC=qbdc_min
QB_DB_MIN_LOG=qblog_min
QB_DB_PID=
QB_DB_DIR=

# A port that nothing listens on, below the range the kernel hands out to outgoing
# connections (their local ports would take a server's port between this choice and its bind).
qb_free_port() {
  local port low
  low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null) || low=32768
  [ "${low:-0}" -gt 11000 ] || low=32768
  for _ in $(seq 1 200); do
    port=$((10000 + RANDOM % (low - 10000)))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# Whether a server's error log says that a port it wanted was taken.
qb_port_was_taken() {
  grep -a -q -E 'Address already in use|Bind on TCP/IP port|Can.t bind|bind.*failed' "$@" 2>/dev/null
}

qb_sql() {
  mariadb --no-defaults --socket="$QB_DB_SOCKET" -uroot --default-character-set=gbk "$@"
}

# Never fails and never waits long: it runs at exit, where a failing step would replace the
# script's own status.
qb_db_stop() {
  [ -z "$QB_DB_PID" ] || qb_stop_processes "$QB_DB_PID"
  QB_DB_PID=
  if [ -n "$QB_DB_DIR" ]; then
    rm -rf "$QB_DB_DIR" 2>/dev/null || true
    QB_DB_DIR=
  fi
}

# db/grants.sql for the databases QB_DB_DS, QB_DB_DC and QB_DB_LOG (the file names qbds, qbdc
# and qblog).
qb_grants_sql() {
  sed -e "s/\\bqbds\\./$QB_DB_DS./g; s/\\bqbdc\\./$QB_DB_DC./g; s/\\bqblog\\./$QB_DB_LOG./g" "$QB_ROOT/db/grants.sql"
}

# Creates the three databases from db/, the roles of db/grants.sql, the library's account
# under the role qbnotify_library and the tools' reading account under qbnotify_reader (each
# over TCP and the socket), through a command that runs SQL from standard input as root, with
# an optional database name appended: qb_db_create_schema COMMAND [ARGS...]
qb_db_create_schema() {
  "$@" <<SQL || return 1
CREATE DATABASE $QB_DB_DS CHARACTER SET gbk;
CREATE DATABASE $QB_DB_DC CHARACTER SET gbk;
CREATE DATABASE $QB_DB_LOG CHARACTER SET gbk;
SQL
  "$@" "$QB_DB_DS" <"$QB_ROOT/db/ds.sql" || return 1
  "$@" "$QB_DB_DC" <"$QB_ROOT/db/dc.sql" || return 1
  "$@" "$QB_DB_LOG" <"$QB_ROOT/db/log.sql" || return 1
  qb_grants_sql | "$@" || return 1
  local account user role password host
  for account in "$QB_DB_USER:qbnotify_library:$QB_DB_PASSWORD" "$QB_DB_READER:qbnotify_reader:$QB_DB_READER_PASSWORD"; do
    IFS=: read -r user role password <<<"$account"
    for host in 127.0.0.1 localhost; do
      echo "CREATE USER '$user'@'$host' IDENTIFIED BY '$password'; GRANT $role TO '$user'@'$host';
        SET DEFAULT ROLE $role FOR '$user'@'$host';"
    done
  done | "$@" || return 1
}

# The minimal databases beside the others, granted to the same roles as they are:
# qb_db_create_minimal_schema COMMAND [ARGS...] (as qb_db_create_schema, after it).
qb_db_create_minimal_schema() {
  local db
  for db in "$QB_DB_MIN_DS" "$QB_DB_MIN_DC" "$QB_DB_MIN_LOG"; do
    echo "CREATE DATABASE $db CHARACTER SET gbk;" | "$@" || return 1
  done
  "$@" "$QB_DB_MIN_DS" <"$QB_ROOT/db/minimal/ds.sql" || return 1
  "$@" "$QB_DB_MIN_DC" <"$QB_ROOT/db/minimal/dc.sql" || return 1
  "$@" "$QB_DB_MIN_LOG" <"$QB_ROOT/db/minimal/log.sql" || return 1
  # The library's account of these databases is one of its own, under a role of its own
  # with the same grants: an account holding both roles would hold more than either needs.
  QB_DB_DS=$QB_DB_MIN_DS QB_DB_DC=$QB_DB_MIN_DC QB_DB_LOG=$QB_DB_MIN_LOG qb_grants_sql |
    sed -e 's/\bqbnotify_library\b/qbnotify_library_min/g' | "$@" || return 1
  local host
  for host in 127.0.0.1 localhost; do
    echo "CREATE USER '$QB_DB_MIN_USER'@'$host' IDENTIFIED BY '$QB_DB_PASSWORD';
      GRANT qbnotify_library_min TO '$QB_DB_MIN_USER'@'$host';
      SET DEFAULT ROLE qbnotify_library_min FOR '$QB_DB_MIN_USER'@'$host';"
  done | "$@" || return 1
}

qb_db_start() {
  QB_DB_DIR=$1
  rm -rf "$QB_DB_DIR"
  mkdir -p "$QB_DB_DIR/data"
  trap qb_db_stop EXIT
  QB_DB_HOST=127.0.0.1
  QB_DB_SOCKET="$QB_DB_DIR/mysqld.sock"
  local common=(--no-defaults "--datadir=$QB_DB_DIR/data" --user=root --skip-name-resolve --lower-case-table-names=1
    --innodb-log-file-size=8M)
  # --force: the accounts are by address, so a host name that does not resolve must not stop it.
  mariadb-install-db "${common[@]}" --force --auth-root-authentication-method=socket --skip-test-db \
    >"$QB_DB_DIR/install.log" 2>&1 || { cat "$QB_DB_DIR/install.log" >&2; return 1; }
  # A port taken between its choice and the server's bind (by another server or an outgoing
  # connection) is no failure: the server starts again on another one.
  local attempt i up
  for attempt in 1 2 3 4 5; do
    QB_DB_PORT=$(qb_free_port) || { echo "no free port" >&2; return 1; }
    : >"$QB_DB_DIR/error.log"
    mariadbd "${common[@]}" "--socket=$QB_DB_SOCKET" "--port=$QB_DB_PORT" --bind-address=127.0.0.1 \
      "--pid-file=$QB_DB_DIR/mysqld.pid" "--log-error=$QB_DB_DIR/error.log" --character-set-server=gbk \
      --collation-server=gbk_chinese_ci --max-connections=500 --back-log=1000 >"$QB_DB_DIR/stderr.log" 2>&1 &
    QB_DB_PID=$!
    up=0
    for i in $(seq 1 600); do
      if qb_sql -e 'select 1' >/dev/null 2>&1; then up=1; break; fi
      qb_alive "$QB_DB_PID" || break
      sleep 0.1
    done
    [ "$up" -eq 0 ] || break
    qb_stop_processes "$QB_DB_PID"
    QB_DB_PID=
    if qb_port_was_taken "$QB_DB_DIR/error.log" "$QB_DB_DIR/stderr.log"; then
      echo "port $QB_DB_PORT was taken; starting the server on another port" >&2
      continue
    fi
    echo "the private MariaDB server did not start (port $QB_DB_PORT):" >&2
    tail -n 30 "$QB_DB_DIR/stderr.log" "$QB_DB_DIR/error.log" >&2
    return 1
  done
  [ -n "$QB_DB_PID" ] || { echo "the private MariaDB server found no free port in five tries" >&2; return 1; }
  qb_db_create_schema qb_sql || return 1
  qb_db_create_minimal_schema qb_sql || return 1
  # A real login over TCP proves the account (a ping alone answers even when login fails).
  mariadb --no-defaults -h "$QB_DB_HOST" -P "$QB_DB_PORT" -u "$QB_DB_USER" "-p$QB_DB_PASSWORD" -e 'select 1' \
    "$QB_DB_DS" >/dev/null || return 1
  export QB_DB_HOST QB_DB_PORT QB_DB_SOCKET QB_DB_USER QB_DB_PASSWORD QB_DB_READER QB_DB_READER_PASSWORD \
    QB_DB_DS QB_DB_DC QB_DB_LOG QB_DB_MIN_USER QB_DB_MIN_DS QB_DB_MIN_DC QB_DB_MIN_LOG
}
