#!/usr/bin/env bash
# Builds a release tree with the benchmark programs, starts a throwaway
# MariaDB, measures Quaverlink against a Python baseline and the minimal C
# and Qt receivers, and writes the table into the README's benchmark section.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages "${BUILD_PACKAGES[@]}" mariadb-server mariadb-client python3 icecast2 ffmpeg curl strace
build_tree "$QUAVERLINK_ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release -DQUAVERLINK_BUILD_TESTS=OFF -DQUAVERLINK_BENCH=ON

bin="$QUAVERLINK_ROOT/build-bench/bench"
table="$(mktemp)"
# The receivers first, with nothing else running beside them.
"$bin/quaverlink-loadgen" --quaverlink "$bin/quaverlink-journal" \
    --python "$QUAVERLINK_ROOT/bench/baseline_receiver.py" --minimal "$bin/minimal_receiver" \
    --minimal-qt "$bin/minimal_qt_receiver" > "$table"

db="$(mktemp -d /tmp/quaverlink-bench-db-XXXXXX)"
trap 'bash "$QUAVERLINK_ROOT/tests/icecast-server.sh" stop "$db/icecast" 2>/dev/null; bash "$QUAVERLINK_ROOT/tests/mariadb-server.sh" stop "$db/server"; rm -rf "$db"' EXIT
bash "$QUAVERLINK_ROOT/tests/mariadb-server.sh" start "$db/server" >/dev/null
export ODBCSYSINI="$db/server/odbc"
server="127.0.0.1;port=$(cat "$db/server/port")"
user=quaverlink
password='Pl4y-h1st0ry'
"$bin/quaverlink-loadgen" --quaverlink "$bin/quaverlink-journal" --db-only 1 \
    --db-server "$server" --db-user "$user" --db-password "$password" --db-socket "$db/server/server.sock" >> "$table"
"$bin/quaverlink-playlog-bench" "$server" "$user" "$password" 10000 >> "$table"

# The outputs, with a throwaway Icecast server and its silent source.
ice="$db/icecast"
bash "$QUAVERLINK_ROOT/tests/icecast-server.sh" start "$ice" >/dev/null
"$bin/quaverlink-loadgen" --quaverlink "$bin/quaverlink-journal" --outputs 1 --icecast-port "$(cat "$ice/port")" >> "$table"
bash "$QUAVERLINK_ROOT/tests/icecast-server.sh" stop "$ice"
# The PAD feed beside the UDP endpoint, from a feed server in the load generator.
"$bin/quaverlink-loadgen" --quaverlink "$bin/quaverlink-journal" --pad 1 >> "$table"
cat "$table"

machine="$(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(uname -r), $(date -u +%Y-%m-%d)"
python3 - "$QUAVERLINK_ROOT/README.md" "$table" "$machine" <<'PY'
import re, sys
readme, table, machine = sys.argv[1], open(sys.argv[2]).read(), sys.argv[3]
text = open(readme).read()
section = f"<!-- bench:begin -->\nMeasured by `bash scripts/bench.sh` on {machine}:\n\n{table}<!-- bench:end -->"
text = re.sub(r"<!-- bench:begin -->.*<!-- bench:end -->", lambda _: section, text, flags=re.S)
open(readme, "w").write(text)
PY
rm -f "$table"
