# Sourced by the black-box tests: an installation of the Demo application
# laid out on disk, and the update service that publishes a release of it.
# Needs $source_dir (the source tree) and $updater_binary set by the caller.

# Under the sanitizers the updater's short runs unwind fully: with the fast
# unwinder LeakSanitizer reports 128 bytes whose only frame lies in a module
# already unloaded at exit (none of ours), and with full unwinding none.
if [ -n "${ASAN_OPTIONS:-}" ]; then
    export ASAN_OPTIONS="$ASAN_OPTIONS:fast_unwind_on_malloc=0"
fi

# Demo.app at the given version in dir: the executable that notes its start.
demo_bundle() { # dir version
    mkdir -p "$1/Demo.app/Contents/MacOS"
    sed "s/@VERSION@/$2/" "$source_dir/scripts/demo-app/Demo" >"$1/Demo.app/Contents/MacOS/Demo"
    chmod 755 "$1/Demo.app/Contents/MacOS/Demo"
}

# The Updater built into the installation at $1, where the bundle layout
# keeps it: APP_DIR/Updater.app/Contents/MacOS/Updater.
install_updater() { # app_dir
    mkdir -p "$1/Updater.app/Contents/MacOS"
    cp "$updater_binary" "$1/Updater.app/Contents/MacOS/Updater"
}

# config.conf pointing the installation at $1 to the service on $port.
write_config() { # app_dir server-folder
    printf 'surl==127.0.0.1\nsport==%s\nsappdir==%s\nsappname==Demo\n' "$port" "$2" >"$1/config.conf"
}

# The update service serving the folder $1/server on loopback (pyftpdlib on a
# free port, left in $port; the process in $service_pid).
start_service() {
    /usr/bin/python3 "$source_dir/scripts/demo-service.py" --root "$1/server" \
        --http 127.0.0.1:0 --ready-file "$1/ready" --log "$1/ftp.log" 2>"$1/service.log" &
    service_pid=$!
    for _ in $(seq 100); do
        [ -f "$1/ready" ] && break
        sleep 0.1
    done
    port=$(awk '/^FTP_PORT/ {print $2}' "$1/ready")
}
stop_service() {
    kill "$service_pid"
    wait "$service_pid" 2>/dev/null || true
}

failures=0
fail() {
    echo "FAIL ($case): $*"
    failures=$((failures + 1))
}

# What the updater wrote before it ended badly (an abort tells its reason
# only there), indented under the failure.
updater_output() { # log
    echo "  the updater's output (last 40 lines):"
    tail -n 40 "$1" | sed 's/^/  | /'
}

# The installed Demo at the given version was started ("open" starts it in
# the background, so its note may come a moment after the updater ended).
expect_demo_started() { # app_dir version
    for _ in $(seq 100); do
        [ -s "$1/demo-app.log" ] && break
        sleep 0.1
    done
    grep -q "^Demo $2 started" "$1/demo-app.log" 2>/dev/null ||
        fail "Demo $2 was not started: $(cat "$1/demo-app.log" 2>/dev/null)"
}
