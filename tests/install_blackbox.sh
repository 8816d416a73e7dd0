#!/usr/bin/env bash
# The built Updater interrupted while it installs an update, as a user's
# machine interrupts it: killed (SIGKILL) at random moments of the install,
# again and again, and run with a file-size limit below one unpacked file, as
# on a full disk. Each time the next run finds the installation wholly the old
# version or wholly the new one (every file, folder and link of it, with its
# mode and checksum), with nothing of the installer's own left behind, and a
# later run installs the update.
#
#   install_blackbox.sh UPDATER SOURCE_DIR
#
# INSTALL_KILL_SECONDS (default 90) is the time given to the kills;
# INSTALL_SEED draws the same random delays as an earlier run (each run
# prints its seed). Exits 0 when every case passes, 77 (skipped) when the X tools
# are missing.
set -euo pipefail
updater_binary=$1
source_dir=$2

for tool in Xvfb xdotool zip; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
unset QT_QPA_PLATFORM
export PATH=$source_dir/scripts/bin:$PATH
source "$source_dir/tests/testlib/installation.bash"
# One virtual display for every run of the updater.
source "$source_dir/tests/testlib/display.bash"
start_display

kill_seconds=${INSTALL_KILL_SECONDS:-90}
seed=${INSTALL_SEED:-$((($$ * 7919 + 10#${EPOCHREALTIME#*.}) % 32768))}
RANDOM=$seed
echo "seed $seed (INSTALL_SEED=$seed draws the same delays)"

tmp=$(mktemp -d)
service_pid=
updater_pid=
cleanup() {
    if [ -n "$updater_pid" ] && kill -0 "$updater_pid" 2>/dev/null; then
        kill -KILL "$updater_pid"
        wait "$updater_pid" 2>/dev/null || true
    fi
    if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
        stop_service
    fi
    stop_display
    rm -rf "$tmp"
}
trap cleanup EXIT

now_ms() {
    local now=${EPOCHREALTIME/./}
    echo $((now / 1000))
}

# One line per entry of the installation in dir: path, kind, mode, and the
# checksum of a file or the target of a link. Leaves out what is not the
# installation: the downloads, the lock, the record of the installed files
# (".update-files", the updater's own) and the Demo's log; with "installed"
# also whatever the installer keeps beside it (".update-..."), which only a
# run cut short may leave.
manifest() { # dir [installed]
    /usr/bin/python3 - "$@" <<'EOF'
import hashlib, os, stat, sys

root = sys.argv[1]
installed_only = len(sys.argv) > 2

def skipped(name):
    return (name in ("app.zip", "new_version.ver", "demo-app.log")
            or name.startswith("updater.lock") or name in (".update-files", ".update-ready.lock")
            or (installed_only and name.startswith(".update-")))

def walk(rel):
    for name in sorted(os.listdir(os.path.join(root, rel))):
        if not rel and skipped(name):
            continue
        path = rel + "/" + name if rel else name
        full = os.path.join(root, path)
        info = os.lstat(full)
        mode = "%o" % stat.S_IMODE(info.st_mode)
        if stat.S_ISLNK(info.st_mode):
            print(path, "link", os.readlink(full))
        elif stat.S_ISDIR(info.st_mode):
            print(path, "dir", mode)
            walk(path)
        else:
            digest = hashlib.sha1()
            with open(full, "rb") as data:
                for chunk in iter(lambda: data.read(1 << 20), b""):
                    digest.update(chunk)
            print(path, "file", mode, digest.hexdigest())

walk("")
EOF
}

# The installation that unpacking the release folder over the installation
# folder gives: every entry of the release, and the installation's others.
merged_manifest() { # installation release
    awk '{ entry[$1] = $0 } END { for (path in entry) print entry[path] }' \
        <(manifest "$1") <(manifest "$2") | sort
}

# Demo.app at a version, heavy enough that installing it takes a while: big
# files (incompressible and compressible), hundreds of small ones in nested
# folders, and a framework with its relative links. Both versions share most
# names, so the install replaces files as well as adding them.
heavy_release() { # dir version
    demo_bundle "$1" "$2"
    echo "$2" >"$1/version.ver"
    /usr/bin/python3 - "$1/Demo.app/Contents" "$2" <<'EOF'
import os, sys

contents, version = sys.argv[1], sys.argv[2]

def write(path, data, mode=0o644):
    path = os.path.join(contents, path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)
    os.chmod(path, mode)

for i in range(4):
    write("Resources/media-%d.bin" % i, os.urandom(2 * 1024 * 1024))
line = ("Demo %s: a line of text that compresses well\n" % version).encode()
write("Resources/strings.txt", line * (4 * 1024 * 1024 // len(line)))
for i in range(300):
    size = 500 + (i * 397) % 6000
    write("Resources/docs/%02d/page-%03d.html" % (i % 12, i),
          ("<p>Demo %s page %d</p>\n" % (version, i)).encode() + os.urandom(size))
major = version.split(".")[-1]
write("Frameworks/Kit.framework/Versions/%s/Kit" % major, os.urandom(300000), 0o755)
os.symlink(major, os.path.join(contents, "Frameworks/Kit.framework/Versions/Current"))
os.symlink("Versions/Current/Kit", os.path.join(contents, "Frameworks/Kit.framework/Kit"))
if version.endswith("0"):
    write("Resources/retired.txt", b"only the old version has this\n")
else:
    for i in range(50):
        write("PlugIns/plugin-%02d.so" % i, os.urandom(20000), 0o755)
EOF
}

# An installation of Demo at version 1.0 in $app_dir, with the Updater inside.
lay_out() { # app_dir contents-function release-dir
    install_updater "$1"
    "$2" "$1" 1.0
    write_config "$1" "$3"
}

# The updater of the installation in $app_dir, in the background
# ($updater_pid), its debug output in $log.
start_updater() {
    QT_MESSAGE_PATTERN="%{time process} %{message}" "$app_dir/Updater.app/Contents/MacOS/Updater" 2>"$log" &
    updater_pid=$!
}

# Sleeps without starting a process, so that short naps keep their length.
exec {nap_fd}<> <(:)
nap() { # seconds
    read -r -t "$1" -u "$nap_fd" || true
}

# Succeeds once the updater asks its question; fails when it ends, or has not
# asked within a minute.
wait_for_question() {
    local main_window= window deadline=$((SECONDS + 60))
    while kill -0 "$updater_pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
        for window in $(xdotool search --onlyvisible --pid "$updater_pid" 2>/dev/null || true); do
            if [ -z "$main_window" ]; then
                main_window=$window
            elif [ "$window" != "$main_window" ]; then
                xdotool windowfocus --sync "$window" 2>/dev/null || true
                return 0
            fi
        done
        nap 0.1
    done
    return 1
}

# Succeeds as soon as the updater's debug output has a line matching the
# pattern; fails when the updater ends first or after a minute.
wait_for_log() { # pattern
    timeout 60 grep -q -m1 -e "$1" < <(tail --pid="$updater_pid" -n +1 -f "$log")
}

# Succeeds once the installer's journal appears (or disappears), watched
# every few milliseconds; fails when the updater ends first or after a minute.
wait_for_journal() { # appears|disappears
    local deadline=$((SECONDS + 60))
    while kill -0 "$updater_pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
        if [ -e "$app_dir/.update-journal" ]; then
            [ "$1" = appears ] && return 0
        else
            [ "$1" = disappears ] && return 0
        fi
        nap 0.002
    done
    return 1
}

# Waits for the updater to end by itself; its exit code in $status (124: it
# had not ended within a minute and was killed).
wait_for_exit() {
    local deadline=$((SECONDS + 60))
    while kill -0 "$updater_pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
        nap 0.02
    done
    status=0
    if kill -0 "$updater_pid" 2>/dev/null; then
        kill -KILL "$updater_pid"
        wait "$updater_pid" 2>/dev/null || true
        status=124
    else
        wait "$updater_pid" || status=$?
    fi
    updater_pid=
}

# Compares the installation with the expected manifest; on a difference
# shows the first differing lines.
expect_installation() { # expected-manifest what [installed]
    local found=$tmp/found.manifest
    manifest "$app_dir" ${3:+installed} >"$found"
    if ! cmp -s "$1" "$found"; then
        fail "$2; differences (expected <, found >):"
        diff "$1" "$found" | grep '^[<>]' | head -n 8 || true
        return 1
    fi
}

# Which step of the install the disk shows the updater was at when killed.
phase_on_disk() {
    local version
    version=$(cat "$app_dir/version.ver" 2>/dev/null || true)
    if [ -e "$app_dir/.update-journal" ]; then
        [ "$version" = 1.1 ] && echo committed || echo swapping
    elif [ -e "$app_dir/.update-staging" ] || [ -e "$app_dir/.update-backup" ]; then
        [ "$version" = 1.1 ] && echo cleaning-up || echo staging
    else
        [ "$version" = 1.1 ] && echo finished || echo not-started
    fi
}

# What the next start must find after a kill, by where the kill fell: the new
# version once the version file is new (the journal present or gone), the old
# one while nothing new is in place, and only in between either of the two.
expected_after_kill() {
    case $phase in
    committed | cleaning-up | finished) echo new ;;
    not-started | staging) echo old ;;
    *)
        manifest "$app_dir" installed >"$tmp/killed.manifest"
        if cmp -s "$tmp/old.manifest" "$tmp/killed.manifest"; then
            echo old
        else
            echo either
        fi
        ;;
    esac
}

# The update service: one folder per case.
mkdir -p "$tmp/server/heavy_mac" "$tmp/server/full_mac"
start_service "$tmp"

# ---------------------------------------------------------------------------
case=killed-during-install
app_dir="$tmp/crash/My Apps"
log=$tmp/crash/updater.log
mkdir -p "$tmp/crash/release"
lay_out "$tmp/crash/pristine" heavy_release heavy
heavy_release "$tmp/crash/release" 1.1
# The release replaces the updater too (with a copy that differs by a few
# trailing bytes): a kill must never leave the next start without one.
install_updater "$tmp/crash/release"
printf '\n# release 1.1\n' >>"$tmp/crash/release/Updater.app/Contents/MacOS/Updater"
(cd "$tmp/crash/release" && zip -qrXy "$tmp/server/heavy_mac/app.zip" Demo.app Updater.app version.ver)
echo 1.1 >"$tmp/server/heavy_mac/version.ver"
manifest "$tmp/crash/pristine" >"$tmp/old.manifest"
merged_manifest "$tmp/crash/pristine" "$tmp/crash/release" >"$tmp/new.manifest"
restore_old() {
    rm -rf "$app_dir"
    cp -a "$tmp/crash/pristine" "$app_dir"
}
echo "release: $(du -sm "$tmp/crash/release" | cut -f1) MB in $(wc -l <"$tmp/new.manifest") entries," \
    "archive $(($(stat -c %s "$tmp/server/heavy_mac/app.zip") / 1024 / 1024)) MB"

# A whole install first: the new installation is as expected, and the time
# of the whole install and of its swap (while the journal exists) aim the kills.
restore_old
start_updater
wait_for_question || fail "no question on the first run: $(tail -n 3 "$log")"
xdotool key --clearmodifiers y
wait_for_log 'Installing update' || fail "the first install did not start: $(tail -n 3 "$log")"
install_start=$(now_ms)
swap_ms=0
if wait_for_journal appears; then
    swap_start=$(now_ms)
    wait_for_journal disappears || true
    swap_ms=$(($(now_ms) - swap_start))
fi
wait_for_exit
install_ms=$(($(now_ms) - install_start))
[ "$status" -eq 0 ] || { fail "Updater exit code $status"; updater_output "$log"; }
expect_installation "$tmp/new.manifest" "an uninterrupted install" || true
echo "an uninterrupted install took $install_ms ms, its swap $swap_ms ms"
[ "$failures" -eq 0 ] || exit 1

# Every other kill falls at a random moment after "Installing update...",
# within an eighth of the whole install's time, the eighths taken in turn.
# The others aim at the swap, short as it is: a random moment within the time
# the journal lasted in the whole install, counted from its appearance.
strata=8
span=$((install_ms / strata + 1))
kill_at_random_moment() {
    if [ $((kills % 2)) -eq 0 ]; then
        delay=$(((kills / 2 % strata) * span + RANDOM % span))
        moment="${delay}ms"
    else
        delay=$((RANDOM % (swap_ms + 1)))
        moment="journal+${delay}ms"
        wait_for_journal appears || moment="journal-not-seen"
    fi
    nap "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
    kill -KILL "$updater_pid" 2>/dev/null || moment="$moment(ended)"
    wait "$updater_pid" 2>/dev/null || true
    updater_pid=
    kills=$((kills + 1))
    phase=$(phase_on_disk)
    phases[$phase]=$((${phases[$phase]:-0} + 1))
    moments+=("$moment:$phase")
    expected=$(expected_after_kill)
}

# Every other time a kill leaves work for the next start, that start is
# killed too, at a random moment of its recovery: timed from the process's
# start by the last recovery the updater logged.
recovery_ms=100
recovery_kills=0
recover_next=0
note_recovery_time() {
    local at
    at=$(awk '/interrupted update|what an earlier update left/ { print int($1 * 1000); exit }' "$log")
    [ -z "$at" ] || recovery_ms=$at
}
kill_during_recovery() {
    start_updater
    delay=$((RANDOM % (recovery_ms + 1)))
    nap "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
    moment="start+${delay}ms"
    kill -KILL "$updater_pid" 2>/dev/null || moment="$moment(ended)"
    wait "$updater_pid" 2>/dev/null || true
    updater_pid=
    recovery_kills=$((recovery_kills + 1))
    phase=recovery/$(phase_on_disk)
    phases[$phase]=$((${phases[$phase]:-0} + 1))
    moments+=("$moment:$phase")
}
# The version file is put in place last: once it is new, all is new.
expect_whole_once_new() {
    [ "$(cat "$app_dir/version.ver" 2>/dev/null)" != 1.1 ] ||
        expect_installation "$tmp/new.manifest" "killed at $moment ($phase): new version file over other files" \
            installed
}
kills=0
declare -A phases=()
moments=()
deadline=$((SECONDS + kill_seconds))
restore_old
expected=old moment=none phase=none
while [ $SECONDS -lt $deadline ] && [ "$failures" -eq 0 ]; do
    start_updater
    if wait_for_question; then
        # What the last kill left was made whole at start: the old version.
        [ "$expected" != new ] || {
            fail "asked again after kill $kills at $moment ($phase), past the commit point"
            break
        }
        note_recovery_time
        expect_installation "$tmp/old.manifest" "asked after kill $kills, not wholly the old version" || break
        xdotool key --clearmodifiers y
        wait_for_log 'Installing update' || {
            fail "the install did not start after kill $kills: $(tail -n 3 "$log")"
            break
        }
        kill_at_random_moment
        expect_whole_once_new || break
        case $phase in
        finished | not-started) ;;
        *)
            recover_next=$((1 - recover_next))
            if [ "$recover_next" -eq 1 ]; then
                kill_during_recovery
                expect_whole_once_new || break
            fi
            ;;
        esac
    else
        # What the last kill left was completed at start: the new version.
        [ "$expected" != old ] || {
            fail "not asked after kill $kills at $moment ($phase), before anything new was in place"
            break
        }
        wait_for_exit
        note_recovery_time
        [ "$status" -eq 0 ] || { fail "Updater exit code $status after kill $kills"; updater_output "$log"; break; }
        expect_installation "$tmp/new.manifest" "not asked after kill $kills, not wholly the new version" || break
        restore_old
        expected=old
    fi
done
[ "$failures" -eq 0 ] || { echo "the updater's last output:"; tail -n 12 "$log"; }
echo "kills: $kills during installs and $recovery_kills during the recovery at the next start, in $kill_seconds s;"
echo "where they fell:"
for phase in "${!phases[@]}"; do echo "  $phase: ${phases[$phase]}"; done
echo "moments (after \"Installing update...\", after the journal appeared, or after the start): ${moments[*]}"
[ "$kills" -ge 5 ] || fail "only $kills kills in $kill_seconds s"

# The run after the last kill makes the installation whole, and a later run
# (the same one, when the kill left the old version) installs the update.
if [ "$failures" -eq 0 ]; then
    start_updater
    if wait_for_question; then
        [ "$expected" != new ] || fail "asked again after the last kill at $moment ($phase), past the commit point"
        expect_installation "$tmp/old.manifest" "asked after the last kill, not wholly the old version" || true
        xdotool key --clearmodifiers y
    fi
    wait_for_exit
    [ "$status" -eq 0 ] || { fail "Updater exit code $status on the last run"; updater_output "$log"; }
    expect_installation "$tmp/new.manifest" "the last run did not install the update" || true
fi
echo "done: $case"

# ---------------------------------------------------------------------------
case=disk-full
app_dir="$tmp/full/My Apps"
log=$tmp/full/updater.log
# The old version, and a new one with a file of 8 MiB that packs into a few
# KiB: the download stays far below the limit, the unpacked file far above.
small_release() { # dir version
    demo_bundle "$1" "$2"
    echo "$2" >"$1/version.ver"
    mkdir -p "$1/Demo.app/Contents/Resources"
    head -c 200000 /dev/urandom >"$1/Demo.app/Contents/Resources/data.bin"
    if [ "$2" != 1.0 ]; then
        head -c $((8 * 1024 * 1024)) /dev/zero >"$1/Demo.app/Contents/Resources/huge.bin"
    fi
}
mkdir -p "$tmp/full/release"
lay_out "$app_dir" small_release full
small_release "$tmp/full/release" 1.1
(cd "$tmp/full/release" && zip -qrXy "$tmp/server/full_mac/app.zip" Demo.app version.ver)
echo 1.1 >"$tmp/server/full_mac/version.ver"
manifest "$app_dir" >"$tmp/old.manifest"
merged_manifest "$app_dir" "$tmp/full/release" >"$tmp/new.manifest"
limit_kib=1024
[ "$(stat -c %s "$tmp/server/full_mac/app.zip")" -lt $((limit_kib * 1024 / 2)) ] ||
    fail "the archive does not stay under the limit"

# Files may not grow beyond the limit; writing past it fails (EFBIG) rather
# than killing the updater.
(
    ulimit -f "$limit_kib"
    trap '' XFSZ
    exec "$app_dir/Updater.app/Contents/MacOS/Updater"
) 2>"$log" &
updater_pid=$!
wait_for_question || fail "no question under the limit: $(tail -n 3 "$log")"
xdotool key --clearmodifiers y
wait_for_exit
[ "$status" -eq 0 ] || { fail "Updater exit code $status under the limit"; updater_output "$log"; }
grep -q 'huge.bin.*too large\|too large.*huge.bin' "$log" ||
    fail "no reason naming huge.bin logged: $(grep -i 'update' "$log" | tail -n 3)"
echo "logged: $(grep -m1 'Update not installed' "$log" | sed 's/^ *[0-9.]* //')"
expect_installation "$tmp/old.manifest" "the failed install changed the installation" || true
# The old version is started, as after any run.
expect_demo_started "$app_dir" 1.0

# With room again the next run offers the update again, and installs it.
start_updater
wait_for_question || fail "the update was not offered again: $(tail -n 3 "$log")"
xdotool key --clearmodifiers y
wait_for_exit
[ "$status" -eq 0 ] || { fail "Updater exit code $status with room again"; updater_output "$log"; }
expect_installation "$tmp/new.manifest" "the update was not installed with room again" || true
echo "done: $case"

stop_service
[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "PASS: all cases"
