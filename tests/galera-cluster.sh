#!/usr/bin/env bash
# A throwaway three-node MariaDB Galera cluster for the tests, on 127.0.0.1.
#   galera-cluster.sh start DIR      nodes 1 to 3 under DIR/nodeN; each
#                                    node's SQL port in DIR/nodeN/port
#   galera-cluster.sh kill DIR N     ends node N at once (SIGKILL)
#   galera-cluster.sh join DIR N     starts node N again; it rejoins by
#                                    state transfer
#   galera-cluster.sh stop DIR       shuts every node down and removes DIR
# Where this machine cannot run a cluster (no galera-4 or rsync), start says
# so and starts nothing: the test that needs it then skips with that line.
set -euo pipefail

action="$1"
dir="$2"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
provider=/usr/lib/galera/libgalera_smm.so
# rsync's daemon, which receives a state transfer, writes as nobody when
# started by root: as root, the nodes run as mysql, whose daemon stays mysql.
owner="$(id -un)"
[[ $(id -u) -ne 0 ]] || owner=mysql
export TEST_DB_USER=quaverlink TEST_DB_PASSWORD='Pl4y-h1st0ry'

client() {
    local node="$1"; shift
    mariadb --no-defaults --protocol=socket --socket="$dir/node$node/server.sock" -uroot "$@"
}

configure() {
    local base="$1" members=""
    for n in 1 2 3; do
        members+="${members:+,}127.0.0.1:$((base + n * 10 + 1))"
    done
    for n in 1 2 3; do
        local node="$dir/node$n" port=$((base + n * 10))
        mkdir -p "$node/data"
        echo "$port" > "$node/port"
        cat > "$node/my.cnf" <<EOF
[mariadbd]
user = $owner
datadir = $node/data
socket = $node/server.sock
pid-file = $node/server.pid
log-error = $node/error.log
port = $port
bind-address = 127.0.0.1
skip-name-resolve
innodb_buffer_pool_size = 32M
innodb_log_file_size = 16M
max_connections = 200
binlog_format = ROW
default_storage_engine = InnoDB
innodb_autoinc_lock_mode = 2
wsrep_on = ON
wsrep_provider = $provider
wsrep_cluster_name = quaverlink_test
wsrep_cluster_address = gcomm://$members
wsrep_node_name = node$n
wsrep_node_address = 127.0.0.1:$((port + 1))
wsrep_provider_options = "gmcast.listen_addr=tcp://127.0.0.1:$((port + 1));ist.recv_addr=127.0.0.1:$((port + 2));evs.suspect_timeout=PT3S;evs.inactive_timeout=PT6S"
wsrep_sst_method = rsync
wsrep_sst_receive_address = 127.0.0.1:$((port + 3))
EOF
    done
}

# Waits until the node answers and is a synced member of the cluster.
launch() {
    local n="$1"; shift
    local node="$dir/node$n"
    mariadbd --defaults-file="$node/my.cnf" "$@" >>"$node/stderr.log" 2>&1 &
    for _ in $(seq 1 600); do
        if [[ "$(client "$n" -N -e "SHOW GLOBAL STATUS LIKE 'wsrep_local_state_comment'" 2>/dev/null \
                | cut -f2)" == Synced ]]; then
            return 0
        fi
        kill -0 $! 2>/dev/null || break
        sleep 0.1
    done
    echo "node $n did not join; its log:" >&2
    tail -n 40 "$node/error.log" >&2
    return 1
}

start() {
    if [[ ! -e "$provider" ]] || ! command -v rsync >/dev/null; then
        echo "SKIP: a Galera cluster needs galera-4 and rsync" >&2
        exit 0
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    configure $((20000 + RANDOM % 30000))
    for n in 1 2 3; do
        mariadb-install-db --no-defaults --user="$owner" --datadir="$dir/node$n/data" \
            --auth-root-authentication-method=socket --skip-test-db >"$dir/node$n/install.log" 2>&1
    done
    chown -R "$owner" "$dir"
    launch 1 --wsrep-new-cluster
    launch 2
    launch 3
    client 1 < "$root/sql/metadata.sql"
    client 1 < "$root/sql/playdetails.sql"
    client 1 < "$root/sql/stationplays.sql"
    client 1 < "$root/sql/playlisteners.sql"
    client 1 -e "CREATE USER '$TEST_DB_USER'@'127.0.0.1' IDENTIFIED BY '$TEST_DB_PASSWORD';
                 GRANT ALL ON Brackenwaves.* TO '$TEST_DB_USER'@'127.0.0.1';"
    bash "$root/scripts/odbc-driver.sh" --into "$dir/odbc"
    echo "Galera cluster for the tests: SQL ports $(cat "$dir"/node*/port | tr '\n' ' ')(data in $dir)"
}

halt() {
    local n="$1" signal="$2"
    local pidfile="$dir/node$n/server.pid"
    [[ -f "$pidfile" ]] || return 0
    local pid
    pid="$(cat "$pidfile")"
    kill "-$signal" "$pid" 2>/dev/null || true
    for _ in $(seq 1 300); do
        kill -0 "$pid" 2>/dev/null || { rm -f "$pidfile"; return 0; }
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$pidfile"
}

case "$action" in
    start) start ;;
    kill) halt "$3" KILL ;;
    join) launch "$3" ;;
    stop)
        for n in 3 2 1; do halt "$n" TERM; done
        rm -rf "$dir"
        ;;
    *) echo "usage: $0 start|stop DIR, or kill|join DIR N" >&2; exit 2 ;;
esac
