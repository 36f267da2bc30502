#!/usr/bin/env bash
# Builds the two Debian packages in a tree of its own and checks them as a
# station engineer would meet them: lintian finds no error in either, the
# files are where they belong, the receiver depends on no widget library,
# each runs from its files (the receiver alone, then with the window), the
# systemd units verify, and an install to another prefix starts from its own
# launcher.
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
window="$(echo "$work"/build/quaverlink-window_*.deb)"

for package in "$deb" "$window"; do
    lintian --fail-on error --tag-display-limit 0 "$package" 2>&1 | grep -v 'running with root privileges' || true
    lintian --fail-on error "$package" >/dev/null 2>&1 || { echo "lintian reports errors in $package" >&2; exit 1; }
done

depends="$(dpkg-deb -f "$deb" Depends)"
for library in libqt6core6 libsqlite3-0 libodbc2; do
    grep -q "$library" <<<"$depends" || { echo "Depends lacks $library: $depends" >&2; exit 1; }
done
if grep -qE 'libqt6(widgets|gui)6|fonts-' <<<"$depends $(dpkg-deb -f "$deb" Recommends)"; then
    echo "the receiver's package pulls in the window's libraries: $depends" >&2
    exit 1
fi
dpkg-deb -f "$window" Depends | grep -q 'quaverlink (= ' || { echo "the window does not depend on the receiver" >&2; exit 1; }
contains() {
    local listing
    listing="$(dpkg-deb -c "$1" | awk '{print $6}')"
    shift
    for file in "$@"; do
        grep -qE "^$file\$" <<<"$listing" || { echo "the package lacks $file" >&2; exit 1; }
    done
}
contains "$deb" ./usr/bin/quaverlink ./usr/share/man/man1/quaverlink.1.gz \
    ./usr/lib/systemd/system/quaverlink@.service ./usr/lib/systemd/user/quaverlink.service \
    ./usr/share/quaverlink/Quaverlink.ini ./usr/share/quaverlink/metadata.sql ./usr/share/quaverlink/playdetails.sql ./usr/share/quaverlink/stationplays.sql ./usr/share/quaverlink/playlisteners.sql \
    ./usr/share/quaverlink/galera-check ./usr/share/quaverlink/haproxy-galera.cfg \
    ./usr/share/quaverlink/register-odbc-driver ./usr/share/doc/quaverlink/copyright './usr/lib/.*libquaverlink-core.so' \
    ./usr/lib/sysusers.d/quaverlink.conf
contains "$window" ./usr/bin/quaverlink-launch ./usr/share/applications/quaverlink.desktop \
    ./usr/share/icons/hicolor/scalable/apps/quaverlink.svg './usr/lib/.*quaverlink-window.so' \
    ./usr/share/doc/quaverlink-window/copyright
if dpkg-deb -c "$deb" | grep -q 'quaverlink-window.so'; then
    echo "the receiver's package holds the window module" >&2
    exit 1
fi

# Each package's files, as dpkg would lay them out: the receiver alone runs
# without a window; with the window's files beside it, the window opens.
root="$work/root"
dpkg-deb -x "$deb" "$root"
station="$work/station"
mkdir -p "$station"
printf '[Metadata]\nRDlistenport=%s\nSenderPort=%s\nIdleString=Package - Test\nCountTimeout=30\n' \
    "$(shuf -i 20000-29999 -n 1)" "$(shuf -i 30000-39999 -n 1)" >"$station/Quaverlink.ini"
runs() {
    rm -f "$station/metadata.txt" "$station/err.log"
    (cd "$station" && QT_QPA_PLATFORM=offscreen timeout 3 "$root/usr/bin/quaverlink" 2>"$station/err.log" || true)
    grep -q 'Package - Test' "$station/metadata.txt" || { echo "the packaged receiver did not run" >&2; exit 1; }
}
runs
grep -q 'the window cannot be loaded' "$station/err.log" || { echo "a receiver without its window said nothing" >&2; exit 1; }
dpkg-deb -x "$window" "$root"
runs
if grep -q 'the window cannot be loaded' "$station/err.log"; then
    cat "$station/err.log" >&2
    exit 1
fi
[[ "$(stat -c %a "$station/metadata.txt")" == 644 ]] || { echo "metadata.txt is not readable by all" >&2; exit 1; }
grep -qx 'ExecStart=/usr/bin/quaverlink --headless' "$root/usr/lib/systemd/system/quaverlink@.service"
# The station user the units run as, made as the package's postinst makes it.
dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qx './postinst' || { echo "the package makes no user" >&2; exit 1; }
mkdir -p "$root/etc"
systemd-sysusers --root="$root" "$root/usr/lib/sysusers.d/quaverlink.conf"
grep -q '^quaverlink:x:[0-9]*:[0-9]*:.*:/var/lib/quaverlink:' "$root/etc/passwd" \
    || { echo "sysusers made no user quaverlink" >&2; exit 1; }
grep -qx 'User=quaverlink' "$root/usr/lib/systemd/system/quaverlink@.service"
grep -qx 'StateDirectoryMode=0755' "$root/usr/lib/systemd/system/quaverlink@.service"
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
echo "packages: $(basename "$deb") ($(dpkg-deb -f "$deb" Installed-Size) KiB), $(basename "$window")" \
    "($(dpkg-deb -f "$window" Installed-Size) KiB); lintian clean of errors, both run, units verified"
