#!/usr/bin/env bash
# The built Updater run as a user runs it: inside a laid-out installation
# (whose path has a blank in it), on a virtual display of its own, its
# question answered with xdotool, against a real FTP server on loopback.
#
#   blackbox.sh UPDATER SOURCE_DIR
#
# Exits 0 when every case passes, 77 (skipped) when the X tools are missing.
set -euo pipefail
updater_binary=$1
source_dir=$2

for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
unset QT_QPA_PLATFORM
export PATH=$source_dir/scripts/bin:$PATH

tmp=$(mktemp -d)
service_pid=
cleanup() {
    if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
        stop_service
    fi
    stop_display
    rm -rf "$tmp"
}
trap cleanup EXIT

source "$source_dir/tests/testlib/installation.bash"
source "$source_dir/tests/testlib/display.bash"
start_display

# case name, published version, answer, expected version afterwards, question expected
run_case() {
    case=$1
    local published=$2 answer=$3 expected=$4 question=$5
    local root=$tmp/$case
    local app_dir="$root/My Apps"
    mkdir -p "$root/server/demo_mac" "$root/release"
    install_updater "$app_dir"
    demo_bundle "$app_dir" 1.0
    echo 1.0 >"$app_dir/version.ver"
    demo_bundle "$root/release" "$published"
    echo "$published" >"$root/release/version.ver"
    (cd "$root/release" && zip -qrX "$root/server/demo_mac/app.zip" Demo.app version.ver)
    echo "$published" >"$root/server/demo_mac/version.ver"

    start_service "$root"
    write_config "$app_dir" demo

    local status=0
    "$source_dir/scripts/answer-update" \
        "$app_dir/Updater.app/Contents/MacOS/Updater" "$answer" >"$root/answer.log" \
        2>"$root/updater.log" || status=$?
    stop_service

    [ "$status" -eq 0 ] || { fail "Updater exit code $status"; updater_output "$root/updater.log"; }
    grep -qx "question: $question" "$root/answer.log" || fail "expected question $question, got: $(cat "$root/answer.log")"
    [ "$(cat "$app_dir/version.ver")" = "$expected" ] || fail "installed version $(cat "$app_dir/version.ver"), expected $expected"
    expect_demo_started "$app_dir" "$expected"
    if [ "$answer" = yes ]; then
        [ -s "$app_dir/app.zip" ] || fail "app.zip not left in place"
        grep -qx "RETR app.zip" "$root/ftp.log" || fail "archive not fetched"
    else
        grep -qx "RETR app.zip" "$root/ftp.log" && fail "archive fetched without a Yes"
    fi
    [ "$(cat "$app_dir/new_version.ver")" = "$published" ] || fail "new_version.ver not the published one"
    echo "done: $case"
}

# An installation the user may not write to (a system folder): nothing can be
# downloaded, so the installed application is started at once. Run as
# "nobody" when the tests run as root, who may write anywhere.
run_unwritable_case() {
    case=unwritable-application-directory
    local root=$tmp/$case
    local app_dir="$root/My Apps"
    mkdir -p "$root/server/demo_mac" "$root/out"
    install_updater "$app_dir"
    demo_bundle "$app_dir" 1.0
    echo 1.0 >"$app_dir/version.ver"
    echo 1.1 >"$root/server/demo_mac/version.ver"
    start_service "$root"
    write_config "$app_dir" demo
    chmod 755 "$tmp" "$root"
    chmod 777 "$root/out"
    chmod -R a-w "$app_dir"
    local as_user=()
    [ "$(id -u)" -eq 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)

    local status=0
    UPDATER_OPEN_LOG=$root/out/open.log QT_QPA_PLATFORM=offscreen timeout 60 \
        "${as_user[@]}" "$app_dir/Updater.app/Contents/MacOS/Updater" 2>"$root/out/updater.log" || status=$?
    stop_service
    chmod -R u+w "$app_dir"

    [ "$status" -eq 0 ] || { fail "Updater exit code $status"; updater_output "$root/out/updater.log"; }
    [ "$(cat "$root/out/open.log" 2>/dev/null)" = "$app_dir/Demo.app" ] ||
        fail "Demo not started: $(cat "$root/out/open.log" 2>/dev/null)"
    grep -q 'Cannot write ".*new_version.ver"' "$root/out/updater.log" ||
        fail "no reason logged: $(cat "$root/out/updater.log")"
    grep -qx "RETR version.ver" "$root/ftp.log" && fail "downloaded without a file to write to"
    [ ! -e "$app_dir/new_version.ver" ] || fail "new_version.ver written"
    echo "done: $case"
}

run_case update-accepted 1.1 yes 1.1 shown
run_case update-declined 1.1 no 1.0 shown
run_case no-update 1.0 none 1.0 "not shown"
run_unwritable_case

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "PASS: all cases"
