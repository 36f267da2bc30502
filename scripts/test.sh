#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite. The
# database tests start their own MariaDB server; nothing on the machine needs
# to be running beforehand.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages "${BUILD_PACKAGES[@]}" mariadb-server mariadb-client sqlite3 clang-14 libclang-rt-14-dev clang-format-14 \
    chromium chromium-driver python3-selenium prometheus \
    lintian dpkg-dev systemd file icecast2 ffmpeg curl nftables

echo "== Formatting (clang-format 14)"
(cd "$QUAVERLINK_ROOT" && git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format-14 --dry-run -Werror)

echo "== Test suite"
build_tree "$QUAVERLINK_ROOT/build-tests"
(cd "$QUAVERLINK_ROOT/build-tests" && ctest --output-on-failure --timeout 600)

echo "== Test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
build_tree "$QUAVERLINK_ROOT/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DQUAVERLINK_SANITIZE=ON
(cd "$QUAVERLINK_ROOT/build-sanitize" \
    && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
       ctest --output-on-failure --timeout 900)

echo "== Fuzzing, ${QUAVERLINK_FUZZ_SECONDS:-20} s a target"
CC=clang-14 CXX=clang++-14 build_tree "$QUAVERLINK_ROOT/build-fuzz" -DQUAVERLINK_FUZZ=ON \
    -DQUAVERLINK_FUZZ_SECONDS="${QUAVERLINK_FUZZ_SECONDS:-20}"
(cd "$QUAVERLINK_ROOT/build-fuzz" && ctest --output-on-failure --timeout 600)
