#!/usr/bin/env bash
# The updater-publish Debian package as a publisher meets it: made with
# cpack from the build, installed with apt into a clean minimal Debian
# (bookworm, minbase) that has nothing of the build's machine, where it makes
# a key and publishes a release of the Linux layout to pyftpdlib on
# loopback; minisign outside checks what arrived.
#
#   package_test.sh BUILD_DIR SOURCE_DIR
#
# The debootstrap tree and the packages apt fetched for it are kept in
# $UPDATER_TEST_CACHE (default /var/cache/updater-tests), so only the first
# run needs the machine's apt mirror; later ones copy the tree and install
# from the kept packages. Needs root (chroot, mount); exits 77 (skipped)
# without it or without the tools.
set -euo pipefail
build_dir=$1
source_dir=$2

skip() {
    echo "SKIP: $1"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "the package test needs root (chroot and mount)"
for tool in debootstrap cpack dpkg-shlibdeps minisign chroot; do
    command -v "$tool" >/dev/null || skip "$tool is missing"
done

cache=${UPDATER_TEST_CACHE:-/var/cache/updater-tests}
tree=$cache/bookworm-minbase
mkdir -p "$cache/archives"

tmp=$(mktemp -d)
root=$tmp/root
mounted=
ftp_pid=
cleanup() {
    if [ -n "$ftp_pid" ]; then
        kill "$ftp_pid" 2>/dev/null || true
        wait "$ftp_pid" 2>/dev/null || true
    fi
    # The chroot's /proc never outlives the test, whatever failed.
    if [ -n "$mounted" ]; then
        umount "$mounted" || umount -l "$mounted" || true
    fi
    rm -rf --one-file-system "$tmp"
}
trap cleanup EXIT
# A time limit's signal ends the test through the same cleanup.
trap 'exit 1' TERM INT HUP

# The mirror the machine's own apt uses.
mirror() {
    if [ -n "${UPDATER_DEBIAN_MIRROR:-}" ]; then
        echo "$UPDATER_DEBIAN_MIRROR"
        return
    fi
    local found
    found=$(sed -n 's/^URIs: *\([^ ]*\/debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
    [ -n "$found" ] || found=$(awk '$1 == "deb" && $2 ~ /\/debian\/?$/ {print $2; exit}' \
        /etc/apt/sources.list 2>/dev/null)
    echo "${found:-http://deb.debian.org/debian}"
}

seconds() { echo "$(($(date +%s) - started))s"; }
started=$(date +%s)

# One tree for every run, made once; a run killed while making it leaves
# only the .partial folder, which the next one starts over.
exec 9>"$cache/lock"
flock 9
if [ ! -d "$tree" ]; then
    echo "== Making the Debian tree in $tree from $(mirror)"
    rm -rf --one-file-system "$tree.partial"
    debootstrap --variant=minbase bookworm "$tree.partial" "$(mirror)" >"$tmp/debootstrap.log" 2>&1 ||
        { tail -n 20 "$tmp/debootstrap.log"; echo "debootstrap failed"; exit 1; }
    mv "$tree.partial" "$tree"
fi
flock -u 9
echo "== Debian tree ready ($(seconds))"

echo "== Making the packages with cpack"
(cd "$build_dir" && cpack -G DEB -B "$tmp/packages") >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; echo "cpack failed"; exit 1; }
package=$(ls "$tmp"/packages/updater-publish_*.deb)
updater_package=$(ls "$tmp"/packages/updater_*.deb)
# Dependencies come from the binaries, not from a hand-written list.
depends=$(dpkg-deb -f "$package" Depends)
echo "   updater-publish depends on: $depends"
for library in libsodium23 libqt5core5a libquazip1-qt5-1 libzstd1; do
    [[ $depends == *"$library "* ]] || { echo "updater-publish does not depend on $library"; exit 1; }
done
dpkg-deb -c "$updater_package" | grep -q '\./usr/lib/updater/Updater$' ||
    { echo "the updater package holds no usr/lib/updater/Updater"; exit 1; }
[[ $(dpkg-deb -f "$updater_package" Depends) == *libqt5widgets5* ]] ||
    { echo "the updater package does not depend on libqt5widgets5"; exit 1; }
echo "   updater package: $(dpkg-deb -f "$updater_package" Depends)"

echo "== Installing updater-publish into a copy of the tree ($(seconds))"
cp -a "$tree" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mounted=$root/proc
cp "$package" "$root/tmp/updater-publish.deb"
# What apt fetched before is offered again; what it fetches now is kept.
cp "$cache"/archives/*.deb "$root/var/cache/apt/archives/" 2>/dev/null || true
chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    /tmp/updater-publish.deb >"$tmp/apt.log" 2>&1 ||
    { tail -n 30 "$tmp/apt.log"; echo "apt-get install failed"; exit 1; }
cp -n "$root"/var/cache/apt/archives/*.deb "$cache/archives/" 2>/dev/null || true
echo "   $(grep -c '^Setting up' "$tmp/apt.log") packages set up"

echo "== Publishing Demo 1.1 of the Linux layout from inside the tree ($(seconds))"
server=$tmp/server
mkdir -p "$server"
# The FTP server runs outside; the tree shares the machine's loopback.
coproc ftp { exec /usr/bin/python3 "$source_dir/tests/testlib/ftpserver.py" --root "$server" 2>"$tmp/ftp.log"; }
ftp_pid=$ftp_PID
read -r -t 30 word port <&"${ftp[0]}" || { cat "$tmp/ftp.log"; echo "the FTP server did not start"; exit 1; }
[ "$word" = PORT ] || { echo "the FTP server said: $word $port"; exit 1; }

release=$root/tmp/release
mkdir -p "$release"
printf '#!/bin/sh\necho "Demo 1.1"\n' >"$release/Demo"
chmod 755 "$release/Demo"
echo 1.1 >"$release/version.ver"
chroot "$root" env UPDATER_PUBLISH_PASSWORD= updater-publish keygen /tmp/keys >"$tmp/keygen.log" 2>&1 ||
    { cat "$tmp/keygen.log"; echo "keygen failed"; exit 1; }
chroot "$root" env UPDATER_PUBLISH_PASSWORD= updater-publish --server "127.0.0.1:$port" \
    --folder demo_linux --product Demo --version 1.1 --key /tmp/keys/minisign.key /tmp/release \
    >"$tmp/publish.log" 2>&1 || { cat "$tmp/publish.log"; echo "publish failed"; exit 1; }

echo "== Checking the published release with minisign ($(seconds))"
folder=$server/demo_linux
for file in app.zip release.json; do
    minisign -V -q -p "$root/tmp/keys/minisign.pub" -m "$folder/$file" ||
        { ls -la "$folder"; echo "$file: signature refused"; exit 1; }
done
[ "$(cat "$folder/version.ver")" = 1.1 ] || { echo "version.ver holds $(cat "$folder/version.ver")"; exit 1; }
grep -q 'folder:demo_linux' "$folder/release.json.minisig" ||
    { echo "release.json is not signed for demo_linux"; exit 1; }
echo "PASS: updater-publish installed from its package published a verified release ($(seconds))"
