#!/usr/bin/env bash
# Installs what is missing, builds the receiver and starts it in ./run with the
# sample settings (kept if ./run/Quaverlink.ini already exists).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages "${BUILD_PACKAGES[@]}"
build_tree "$QUAVERLINK_ROOT/build" -DQUAVERLINK_BUILD_TESTS=OFF

mkdir -p "$QUAVERLINK_ROOT/run"
cd "$QUAVERLINK_ROOT/run"
[[ -f Quaverlink.ini ]] || cp "$QUAVERLINK_ROOT/packaging/Quaverlink.ini" Quaverlink.ini
echo "Starting quaverlink in $PWD (settings: $PWD/Quaverlink.ini, output: $PWD/metadata.txt)"
exec "$QUAVERLINK_ROOT/build/src/quaverlink"
