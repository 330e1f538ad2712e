# A private three-node Galera cluster for the cluster tests and benchmarks: each node its own
# data directory, socket, client port, group port, incremental-transfer port and state-transfer
# port, all on loopback; rsync state transfer; table names matched without regard to case and
# gbk as on the single private server; the same account and the three databases from db/.
#
# Source it (after common.sh and mariadb.sh), then:
#   qb_galera_start DIR     starts the cluster in DIR and waits until every node is Synced;
#                           exports QB_GALERA_DIR, QB_GALERA_PORTS and QB_GALERA_SOCKETS (the
#                           three nodes', comma-separated), and QB_DB_* pointing at node 1;
#                           stops and removes everything at exit, also when it fails
#   qb_galera_stop          stops every node and removes DIR (also registered to run at exit)
#   qb_galera_sql N DB      SQL from standard input as root over node N's socket
#   qb_galera_kill N        kills node N at once (SIGKILL), as a machine that fails
#   qb_galera_restart N     recovers node N's position, starts it and waits until it is Synced
# A shell that did not start the cluster works on it with QB_GALERA_DIR set: every node's
# settings, pid file and ports live in DIR (DIR/cluster.env holds the exports).

QB_GALERA_DIR=${QB_GALERA_DIR:-}
QB_GALERA_NODES=3
QB_GALERA_PROVIDER=/usr/lib/galera/libgalera_smm.so
QB_GALERA_SYNC_SECONDS=${QB_GALERA_SYNC_SECONDS:-180}

qb_galera_node_dir() { echo "$QB_GALERA_DIR/node$1"; }

qb_galera_sql() {
  local node=$1
  shift
  mariadb --no-defaults --socket="$(qb_galera_node_dir "$node")/mysqld.sock" -uroot --default-character-set=gbk "$@"
}

qb_galera_pid() {
  local file
  file="$(qb_galera_node_dir "$1")/mysqld.pid"
  [ -s "$file" ] && cat "$file"
}

# Distinct free ports, one per line.
qb_galera_ports() {
  local wanted=$1 ports=() port p taken
  while [ ${#ports[@]} -lt "$wanted" ]; do
    port=$(qb_free_port) || return 1
    taken=0
    for p in "${ports[@]}"; do [ "$p" = "$port" ] && taken=1; done
    [ $taken -eq 0 ] && ports+=("$port")
  done
  printf '%s\n' "${ports[@]}"
}

qb_galera_write_config() {
  local node=$1 dir
  dir=$(qb_galera_node_dir "$node")
  local client=${QB_GALERA_CLIENT_PORTS[$((node - 1))]} group=${QB_GALERA_GROUP_PORTS[$((node - 1))]}
  local ist=${QB_GALERA_IST_PORTS[$((node - 1))]} sst=${QB_GALERA_SST_PORTS[$((node - 1))]}
  local address="gcomm://127.0.0.1:${QB_GALERA_GROUP_PORTS[0]},127.0.0.1:${QB_GALERA_GROUP_PORTS[1]},127.0.0.1:${QB_GALERA_GROUP_PORTS[2]}"
  cat >"$dir/my.cnf" <<CNF
[mysqld]
user=root
datadir=$dir/data
socket=$dir/mysqld.sock
port=$client
bind-address=127.0.0.1
pid-file=$dir/mysqld.pid
log-error=$dir/error.log
skip-name-resolve
lower_case_table_names=1
innodb_log_file_size=8M
character-set-server=gbk
collation-server=gbk_chinese_ci
max_connections=700
back_log=1000
binlog_format=ROW
innodb_autoinc_lock_mode=2
default_storage_engine=InnoDB
wsrep_on=ON
wsrep_provider=$QB_GALERA_PROVIDER
wsrep_cluster_name=qbnotify
wsrep_cluster_address=$address
wsrep_node_name=node$node
wsrep_node_address=127.0.0.1:$group
wsrep_provider_options="base_port=$group;ist.recv_addr=127.0.0.1:$ist;gcache.size=32M"
wsrep_sst_method=rsync
wsrep_sst_receive_address=127.0.0.1:$sst
CNF
}

# Starts node N's server in the background, detached from this shell's job control, so that
# a shell that did not start the cluster can restart a node too.
qb_galera_launch() {
  local node=$1 dir
  shift
  dir=$(qb_galera_node_dir "$node")
  rm -f "$dir/mysqld.pid"
  setsid mariadbd --defaults-file="$dir/my.cnf" "$@" >>"$dir/stderr.log" 2>&1 </dev/null &
  echo $! >"$dir/launched.pid"
  # Not one of this shell's jobs: a node killed on purpose is no news.
  disown $!
}

# The node's state ("Synced", "Joining", ...), empty while it does not answer.
qb_galera_state() {
  { qb_galera_sql "$1" -N -e "SHOW STATUS LIKE 'wsrep_local_state_comment'" 2>/dev/null || true; } | cut -f2
}

# Node N's status variable NAME, empty while the node does not answer.
qb_galera_status() {
  { qb_galera_sql "$1" -N -e "SHOW STATUS LIKE '$2'" 2>/dev/null || true; } | cut -f2
}

# One line on node N: whether its server runs, its state, the cluster size it sees.
qb_galera_describe() {
  local node=$1 dir launched running=stopped
  dir=$(qb_galera_node_dir "$node")
  launched=$(cat "$dir/launched.pid" 2>/dev/null) || true
  [ -n "$launched" ] && qb_alive "$launched" && running=running
  echo "node $node (client port ${QB_GALERA_CLIENT_PORTS[$((node - 1))]:-?}, group port" \
    "${QB_GALERA_GROUP_PORTS[$((node - 1))]:-?}): server $running, state '$(qb_galera_state "$node")'," \
    "cluster size '$(qb_galera_status "$node" wsrep_cluster_size)'"
}

# Says why the nodes given are missing: each one's state and the last lines of its logs.
qb_galera_explain() {
  local node dir
  for node in "$@"; do
    dir=$(qb_galera_node_dir "$node")
    echo "galera $(qb_galera_describe "$node"); the last lines of its logs:" >&2
    tail -n 25 "$dir/error.log" "$dir/stderr.log" 2>/dev/null | sed 's/^/    /' >&2
  done
}

# Waits (bounded) until node N is Synced and sees a cluster of `size` nodes. On failure it
# names the nodes that are missing from the cluster (not Synced, or stopped) and why.
qb_galera_wait_synced() {
  local node=$1 size=$2 deadline=$((SECONDS + QB_GALERA_SYNC_SECONDS)) dir launched members
  dir=$(qb_galera_node_dir "$node")
  launched=$(cat "$dir/launched.pid" 2>/dev/null)
  while [ $SECONDS -lt $deadline ]; do
    if [ "$(qb_galera_state "$node")" = Synced ]; then
      members=$(qb_galera_status "$node" wsrep_cluster_size)
      [ "${members:-0}" -ge "$size" ] && return 0
    fi
    if [ -n "$launched" ] && ! kill -0 "$launched" 2>/dev/null; then
      echo "galera node $node stopped while starting" >&2
      qb_galera_explain "$node"
      return 1
    fi
    sleep 0.2
  done
  echo "galera node $node not Synced in a cluster of $size after $QB_GALERA_SYNC_SECONDS s" >&2
  local other missing=()
  for other in $(seq 1 "$QB_GALERA_NODES"); do
    [ -d "$(qb_galera_node_dir "$other")/data" ] || continue
    [ "$other" = "$node" ] || [ "$(qb_galera_state "$other")" != Synced ] || continue
    missing+=("$other")
  done
  qb_galera_explain "${missing[@]}"
  return 1
}

# Every node Synced and each seeing all of them; otherwise names the nodes missing and why.
qb_galera_check_members() {
  local node state members missing=()
  for node in $(seq 1 "$QB_GALERA_NODES"); do
    state=$(qb_galera_state "$node")
    members=$(qb_galera_status "$node" wsrep_cluster_size)
    [ "$state" = Synced ] && [ "${members:-0}" -eq "$QB_GALERA_NODES" ] || missing+=("$node")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "galera: the cluster has not all $QB_GALERA_NODES nodes; missing or not Synced: ${missing[*]}" >&2
  qb_galera_explain "${missing[@]}"
  return 1
}

# True while the process runs (a killed server that its parent has not reaped yet does not).
qb_galera_kill() {
  local pid
  pid=$(qb_galera_pid "$1") || return 0
  kill -KILL "$pid" 2>/dev/null || true
  # Reaped by this shell when it started the node; otherwise wait until it is gone.
  wait "$pid" 2>/dev/null || true
  local i
  for i in $(seq 1 100); do
    qb_alive "$pid" || break
    sleep 0.05
  done
  rm -f "$(qb_galera_node_dir "$1")/mysqld.pid"
}

# A node that was killed first recovers its last committed position from its own files
# (--wsrep-recover), then starts from it and catches up from the others.
qb_galera_restart() {
  local node=$1 dir position
  dir=$(qb_galera_node_dir "$node")
  local pid
  pid=$(qb_galera_pid "$node") || true
  if [ -n "$pid" ] && qb_alive "$pid"; then qb_galera_kill "$node"; fi
  mariadbd --defaults-file="$dir/my.cnf" --wsrep-recover --log-error="$dir/recover.log" >/dev/null 2>&1 || true
  # When the others' caches no longer reach back to its position, the node takes a full state
  # transfer, whose rsync daemon runs as nobody (as for the joiners at the start; node 1's
  # directory was made by the installer).
  chown -R nobody "$dir/data"
  position=$(sed -n 's/.*WSREP: Recovered position: *\([^ ]*\).*/\1/p' "$dir/recover.log" | tail -n 1)
  if [ -n "$position" ]; then
    qb_galera_launch "$node" --wsrep-start-position="$position"
  else
    qb_galera_launch "$node"
  fi
  qb_galera_wait_synced "$node" "$QB_GALERA_NODES"
}

qb_galera_stop() {
  [ -n "$QB_GALERA_DIR" ] && [ -d "$QB_GALERA_DIR" ] || return 0
  local node pids=() pid
  for node in $(seq "$QB_GALERA_NODES" -1 1); do
    pid=$(qb_galera_pid "$node") || pid=$(cat "$(qb_galera_node_dir "$node")/launched.pid" 2>/dev/null) || continue
    [ -n "$pid" ] && pids+=("$pid")
  done
  # Each server shuts down in a second or two; one that hangs is killed after 30 s.
  qb_stop_processes "${pids[@]}"
  rm -rf "$QB_GALERA_DIR"
  QB_GALERA_DIR=
}

# Starts the three nodes on the ports chosen in QB_GALERA_*_PORTS; non-zero when a node does
# not join (status 2 when a port was found taken, so that other ports may be tried).
qb__galera_start_nodes() {
  local node dir
  for node in $(seq 1 "$QB_GALERA_NODES"); do
    dir=$(qb_galera_node_dir "$node")
    mkdir -p "$dir/data"
    chmod 755 "$dir"
    qb_galera_write_config "$node"
  done
  dir=$(qb_galera_node_dir 1)
  mariadb-install-db --defaults-file="$dir/my.cnf" --force --wsrep-on=OFF --auth-root-authentication-method=socket \
    --skip-test-db >"$dir/install.log" 2>&1 || { cat "$dir/install.log" >&2; return 1; }
  qb_galera_launch 1 --wsrep-new-cluster
  local status=0
  qb_galera_wait_synced 1 1 || status=1
  if [ $status -eq 0 ]; then
    for node in 2 3; do
      chown -R nobody "$(qb_galera_node_dir "$node")/data"
      qb_galera_launch "$node"
    done
    for node in 2 3; do qb_galera_wait_synced "$node" "$QB_GALERA_NODES" || { status=1; break; }; done
  fi
  [ $status -eq 0 ] && qb_galera_check_members && return 0
  for node in $(seq 1 "$QB_GALERA_NODES"); do
    dir=$(qb_galera_node_dir "$node")
    qb_port_was_taken "$dir/error.log" "$dir/stderr.log" && return 2
  done
  return 1
}

qb_galera_start() {
  QB_GALERA_DIR=$1
  qb_install_packages galera-4 rsync mariadb-server mariadb-client
  trap qb_galera_stop EXIT
  local attempt status ports
  for attempt in 1 2 3; do
    rm -rf "$QB_GALERA_DIR"
    mkdir -p "$QB_GALERA_DIR"
    # The state transfer's rsync daemon runs as nobody: it must reach and write the joiners'
    # data directories.
    chmod 755 "$QB_GALERA_DIR"
    ports=($(qb_galera_ports 12)) || { echo "no free ports" >&2; return 1; }
    QB_GALERA_CLIENT_PORTS=("${ports[@]:0:3}")
    QB_GALERA_GROUP_PORTS=("${ports[@]:3:3}")
    QB_GALERA_IST_PORTS=("${ports[@]:6:3}")
    QB_GALERA_SST_PORTS=("${ports[@]:9:3}")
    status=0
    qb__galera_start_nodes || status=$?
    [ $status -eq 0 ] && break
    [ $status -eq 2 ] && [ $attempt -lt 3 ] || return 1
    # A port was taken between its choice and a node's bind: the whole cluster on new ones.
    echo "galera: a port was taken; starting the cluster again on other ports" >&2
    local keep=$QB_GALERA_DIR
    qb_galera_stop
    QB_GALERA_DIR=$keep
  done

  qb_db_create_schema qb_galera_sql 1 || return 1
  # A real login over TCP on every node proves the account and that the schema arrived.
  for node in $(seq 1 "$QB_GALERA_NODES"); do
    mariadb --no-defaults -h 127.0.0.1 -P "${QB_GALERA_CLIENT_PORTS[$((node - 1))]}" -u "$QB_DB_USER" \
      "-p$QB_DB_PASSWORD" -e 'SET SESSION wsrep_sync_wait = 1; SELECT COUNT(*) FROM appshenji' "$QB_DB_LOG" \
      >/dev/null || return 1
  done

  QB_GALERA_PORTS=$(IFS=,; echo "${QB_GALERA_CLIENT_PORTS[*]}")
  QB_GALERA_SOCKETS="$(qb_galera_node_dir 1)/mysqld.sock,$(qb_galera_node_dir 2)/mysqld.sock,$(qb_galera_node_dir 3)/mysqld.sock"
  QB_DB_HOST=127.0.0.1
  QB_DB_PORT=${QB_GALERA_CLIENT_PORTS[0]}
  QB_DB_SOCKET="$(qb_galera_node_dir 1)/mysqld.sock"
  export QB_GALERA_DIR QB_GALERA_PORTS QB_GALERA_SOCKETS
  export QB_DB_HOST QB_DB_PORT QB_DB_SOCKET QB_DB_USER QB_DB_PASSWORD QB_DB_READER QB_DB_READER_PASSWORD QB_DB_DS QB_DB_DC QB_DB_LOG
  local name
  for name in QB_GALERA_DIR QB_GALERA_PORTS QB_GALERA_SOCKETS QB_DB_HOST QB_DB_PORT QB_DB_SOCKET QB_DB_USER \
    QB_DB_PASSWORD QB_DB_READER QB_DB_READER_PASSWORD QB_DB_DS QB_DB_DC QB_DB_LOG; do
    printf "export %s='%s'\n" "$name" "${!name}"
  done >"$QB_GALERA_DIR/cluster.env"
}
