#!/usr/bin/env bash
# Registers MariaDB Connector/ODBC under the driver name the receiver's
# connection string asks for, "MySQL ODBC 3.51 Driver".
#   sudo scripts/odbc-driver.sh            system-wide (/etc/odbcinst.ini)
#   scripts/odbc-driver.sh --into DIR      a private DIR/odbcinst.ini (use with ODBCSYSINI=DIR)
set -euo pipefail

driver_library() {
    local library
    library="$(dpkg -L odbc-mariadb 2>/dev/null | grep -m1 '/libmaodbc\.so$' || true)"
    if [[ -z "$library" ]]; then
        echo "MariaDB Connector/ODBC is not installed (apt-get install odbc-mariadb)" >&2
        exit 1
    fi
    echo "$library"
}

template() {
    cat <<INI
[MySQL ODBC 3.51 Driver]
Description=MariaDB Connector/ODBC, registered for Quaverlink
Driver=$(driver_library)
Threading=0
INI
}

if [[ "${1:-}" == "--into" ]]; then
    mkdir -p "$2"
    template > "$2/odbcinst.ini"
    : > "$2/odbc.ini"
else
    file="$(mktemp)"
    template > "$file"
    odbcinst -i -d -r -f "$file" >/dev/null
    rm -f "$file"
    odbcinst -q -d -n "MySQL ODBC 3.51 Driver"
fi
