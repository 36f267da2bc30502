#!/usr/bin/env bash
# Builds the Debian package in a tree of its own and checks it as a station
# engineer would meet it: lintian finds no error, the files are where they
# belong, the systemd units verify, and an install to another prefix starts
# from its own launcher.
#   package.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir="$1"
work="$2"
rm -rf "$work"
mkdir -p "$work"
cmake -S "$source_dir" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DQUAVERLINK_BUILD_TESTS=OFF >/dev/null
cmake --build "$work/build" -j "$(nproc)" >/dev/null
(cd "$work/build" && cpack -G DEB >/dev/null)
deb="$(echo "$work"/build/quaverlink_*.deb)"

lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || { echo "lintian reports errors" >&2; exit 1; }

dpkg-deb -f "$deb" Depends | grep -q 'libqt6core6' || { echo "Depends lacks the Qt libraries" >&2; exit 1; }
listing="$(dpkg-deb -c "$deb" | awk '{print $6}')"
for file in ./usr/bin/quaverlink ./usr/bin/quaverlink-launch ./usr/share/man/man1/quaverlink.1.gz \
    ./usr/lib/systemd/system/quaverlink@.service ./usr/lib/systemd/user/quaverlink.service \
    ./usr/share/applications/quaverlink.desktop ./usr/share/icons/hicolor/scalable/apps/quaverlink.svg \
    ./usr/share/quaverlink/Quaverlink.ini ./usr/share/quaverlink/metadata.sql \
    ./usr/share/quaverlink/register-odbc-driver ./usr/share/doc/quaverlink/copyright; do
    grep -qxF "$file" <<<"$listing" || { echo "the package lacks $file" >&2; exit 1; }
done
grep -q 'quaverlink-window.so$' <<<"$listing" || { echo "the package lacks the window module" >&2; exit 1; }

root="$work/root"
dpkg-deb -x "$deb" "$root"
grep -qx 'ExecStart=/usr/bin/quaverlink --headless' "$root/usr/lib/systemd/system/quaverlink@.service"
cp "$root/usr/lib/systemd/system/quaverlink@.service" "$root/usr/lib/systemd/user/quaverlink.service" "$work/"
# The units name the installed binaries; verify them against the extracted ones.
sed -i "s|/usr/bin/|$root/usr/bin/|" "$work/quaverlink@.service" "$work/quaverlink.service"
MANPATH="$root/usr/share/man" systemd-analyze verify "$work/quaverlink@studio-a.service" "$work/quaverlink.service"

prefix="$work/prefix"
cmake --install "$work/build" --prefix "$prefix" >/dev/null
home="$work/home"
QUAVERLINK_HOME="$home" "$prefix/bin/quaverlink-launch" --version | grep -qx 'Quaverlink V1.24'
cmp "$home/Quaverlink.ini" "$source_dir/packaging/Quaverlink.ini"
grep -qx "ExecStart=$prefix/bin/quaverlink --headless" "$prefix/lib/systemd/system/quaverlink@.service"
(cd "$home" && QT_QPA_PLATFORM=offscreen "$prefix/bin/quaverlink" --check >/dev/null)
echo "package: $(basename "$deb"), $(wc -l <<<"$listing") entries, lintian clean of errors, units verified"
