#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite. The
# database tests start their own MariaDB server; nothing on the machine needs
# to be running beforehand.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages "${BUILD_PACKAGES[@]}" mariadb-server mariadb-client
build_tree "$QUAVERLINK_ROOT/build-tests"
cd "$QUAVERLINK_ROOT/build-tests"
ctest --output-on-failure --timeout 600
