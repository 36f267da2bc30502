#!/usr/bin/env bash
# How long quaverlink report takes, and how much memory, for a year of plays
# in a throwaway MariaDB with our schema: every play a Metadata row and its
# PlayDetails row, and its listeners counted in PlayListeners. The server
# gets MariaDB's own default buffer pool (128 MiB), not the test suite's
# 32 MiB, which a year of plays does not fit.
#   bench/report_bench.sh QUAVERLINK [PLAYS]     (default 200000)
set -euo pipefail
quaverlink="$(realpath "$1")"
plays="${2:-200000}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="$(mktemp -d /tmp/quaverlink-report-bench-XXXXXX)"
trap 'bash "$root/tests/mariadb-server.sh" stop "$work/db"; rm -rf "$work"' EXIT
bash "$root/tests/mariadb-server.sh" start "$work/db" >/dev/null
mariadb --no-defaults --protocol=socket --socket="$work/db/server.sock" -uroot Brackenwaves -e "
  SET GLOBAL innodb_buffer_pool_size = 128 * 1024 * 1024;
  INSERT INTO Metadata (entry_tag, full_text, played_at, artist, title)
    SELECT '', CONCAT('Artist ', seq % 500, ' - Title ', seq), '2026-01-01' + INTERVAL seq * 150 SECOND,
           CONCAT('Artist ', seq % 500), CONCAT('Title ', seq) FROM seq_1_to_$plays;
  INSERT INTO PlayDetails (played_at, machine, service, cart, cut, group_name, artist, title, album, label,
                           composer, publisher, year, isrc, isci, length_ms, full_text, host_name)
    SELECT played_at, 1, 'Production', 1000 + play_id % 900, 1, 'MUSIC', artist, title, 'Album', 'Label',
           'Composer', 'Publisher', 1999, 'GBAYE0000001', '', 215400, full_text, 'studio' FROM Metadata;
  INSERT INTO PlayListeners (station, count_key, played_at, full_text, performances)
    SELECT 'studio', MD5(play_id), played_at, full_text, play_id % 40 FROM Metadata;"
mkdir "$work/station"
printf '[Metadata]\nRDlistenport=5001\nIdleString=Idle\nCountTimeout=30\n[Database]\nDBenabled=Y\nDBserver=127.0.0.1;port=%s\nDBuser=quaverlink\nDBpassword=Pl4y-h1st0ry\n[Report]\nService=KQVL-FM\nCategory=B\n' \
    "$(cat "$work/db/port")" > "$work/station/Quaverlink.ini"
# Every play is a recording of its own here: the census form's worst case.
for format in csv soundexchange; do
    for run in 1 2 3; do
        (cd "$work/station" && ODBCSYSINI="$work/db/odbc" /usr/bin/time -f "%e %U %M" -o "$work/time" \
            "$quaverlink" report --from 2026-01-01 --to 2027-12-31 --format "$format" > "$work/report" 2>/dev/null)
        read -r elapsed user rss < "$work/time"
        echo "$format report of $plays plays, run $run: $(($(wc -l < "$work/report") - 1)) lines in ${elapsed} s" \
             "(${user} s in the receiver's own process), peak memory $((rss / 1024)) MiB"
    done
done
