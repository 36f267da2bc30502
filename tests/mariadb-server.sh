#!/usr/bin/env bash
# A throwaway MariaDB server for the tests, on 127.0.0.1 at a free port.
#   mariadb-server.sh start DIR    data, socket, port file and a private ODBC
#                                   driver registration all under DIR
#   mariadb-server.sh stop DIR     shuts it down and removes DIR
#   mariadb-server.sh halt DIR / resume DIR   stop and start the same server
#   mariadb-server.sh freeze DIR / thaw DIR   suspend and continue it: while
#                                   frozen the kernel still accepts connections
#                                   that the server never answers
set -euo pipefail

action="$1"
dir="$2"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export TEST_DB_USER=quaverlink TEST_DB_PASSWORD='Pl4y-h1st0ry'

find_binary() {
    for name in "$@"; do
        for candidate in "$(command -v "$name" 2>/dev/null || true)" "/usr/sbin/$name" "/usr/bin/$name"; do
            [[ -n "$candidate" && -x "$candidate" ]] && { echo "$candidate"; return; }
        done
    done
    echo "cannot find any of: $*" >&2
    exit 1
}

client() {
    "$(find_binary mariadb mysql)" --no-defaults --protocol=socket --socket="$dir/server.sock" -uroot "$@"
}

launch() {
    local port="$1"
    "$(find_binary mariadbd mysqld)" --no-defaults --user="$(id -un)" --datadir="$dir/data" \
        --port="$port" --bind-address=127.0.0.1 --socket="$dir/server.sock" --pid-file="$dir/server.pid" \
        --log-error="$dir/error.log" --skip-log-bin --innodb-buffer-pool-size=32M \
        --innodb-log-file-size=16M --skip-name-resolve --max-connections=500 >>"$dir/stderr.log" 2>&1 &
    for _ in $(seq 1 300); do
        if client -e "SELECT 1" >/dev/null 2>&1; then
            echo "$port" > "$dir/port"
            return 0
        fi
        if ! kill -0 $! 2>/dev/null; then
            return 1
        fi
        sleep 0.1
    done
    return 1
}

start() {
    rm -rf "$dir"
    mkdir -p "$dir/data"
    "$(find_binary mariadb-install-db mysql_install_db)" --no-defaults --user="$(id -un)" \
        --datadir="$dir/data" --auth-root-authentication-method=socket --skip-test-db \
        >"$dir/install.log" 2>&1 || { cat "$dir/install.log" >&2; exit 1; }
    local started=""
    for _ in 1 2 3 4 5; do
        if launch $((20000 + RANDOM % 30000)); then
            started=yes
            break
        fi
    done
    if [[ -z "$started" ]]; then
        echo "MariaDB did not start; its log:" >&2
        cat "$dir/error.log" >&2
        exit 1
    fi
    client < "$root/sql/metadata.sql"
    client < "$root/sql/playdetails.sql"
    client < "$root/sql/stationplays.sql"
    client < "$root/sql/playlisteners.sql"
    client -e "CREATE USER '$TEST_DB_USER'@'127.0.0.1' IDENTIFIED BY '$TEST_DB_PASSWORD';
               GRANT ALL ON Brackenwaves.* TO '$TEST_DB_USER'@'127.0.0.1';"
    bash "$root/scripts/odbc-driver.sh" --into "$dir/odbc"
    echo "MariaDB for the tests is listening on 127.0.0.1:$(cat "$dir/port") (data in $dir)"
}

running() {
    [[ -f "$dir/server.pid" ]] && kill -0 "$(cat "$dir/server.pid")" 2>/dev/null
}

halt() {
    [[ -f "$dir/server.pid" ]] || return 0
    local pid
    pid="$(cat "$dir/server.pid")"
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 300); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
}

case "$action" in
    start) start ;;
    halt) halt ;;
    # A server already up is left as it is: a second one on the same data
    # would answer through the first and take its pid file.
    resume) running || launch "$(cat "$dir/port")" ;;
    freeze) kill -STOP "$(cat "$dir/server.pid")" ;;
    thaw) kill -CONT "$(cat "$dir/server.pid")" ;;
    stop) halt; rm -rf "$dir" ;;
    *) echo "usage: $0 start|stop|halt|resume|freeze|thaw DIR" >&2; exit 2 ;;
esac
