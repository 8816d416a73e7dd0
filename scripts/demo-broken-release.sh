# Sourced by scripts/demo --broken-release once the Updater is built with the
# demo key, the installation laid out and the demo service started: the
# installation is at 1.1; Demo 1.2 is published on trial (--confirm-launches
# 1) with an application that exits without confirming its start; the
# Updater installs it, and its next start puts 1.1 back and never offers 1.2
# again; Demo 1.3, which confirms, is offered and stays. Without a display
# the runs share one Xvfb, and xdotool answers the question.

export PATH=$repo/scripts/bin:$PATH
updater=$app_dir/Updater.app/Contents/MacOS/Updater
share_one_display
rm -f "$app_dir/demo-app.log"
make_demo_bundle "$app_dir" 1.1
echo "1.1" >"$app_dir/version.ver"
printf 'surl==127.0.0.1\nsport==%s\nsappdir==demo\nsappname==Demo\n' "$ftp_port" >"$app_dir/config.conf"

# Demo at the given version in a release folder; "confirms" adds the one line
# an application on trial runs once it is up (its log line kept, the
# updater's own line naming the application directory left out).
make_release() { # version confirms|silent
    local dir=$run/release-$1
    mkdir -p "$dir"
    make_demo_bundle "$dir" "$1"
    echo "$1" >"$dir/version.ver"
    if [ "$2" = confirms ]; then
        cat >>"$dir/Demo.app/Contents/MacOS/Demo" <<'LINE'
"$app_dir/Updater.app/Contents/MacOS/Updater" --confirm 2>&1 | grep -v '^"' >>"$app_dir/demo-app.log"
LINE
    fi
}

publish_release() { # version
    echo "== Publishing Demo $1 on trial (--confirm-launches 1)"
    "$publish" --server "127.0.0.1:$ftp_port" --folder demo_mac --product Demo --version "$1" \
        --confirm-launches 1 --key "$run/keys/minisign.key" "$run/release-$1" \
        >"$run/publish-$1.log" 2>&1 || { cat "$run/publish-$1.log" >&2; exit 1; }
}

# Runs the Updater once, answering the question as told, and shows what its
# log says about the trial and the question.
run_updater() { # label yes|none
    local log=$run/updater-$1.log
    echo "== $1 (installed: $(cat "$app_dir/version.ver"))"
    : >"$app_dir/demo-app.log"
    set +e
    scripts/answer-update "$updater" "$2" >"$run/answer-$1.log" 2>"$log"
    set -e
    for _ in $(seq 50); do
        [ -s "$app_dir/demo-app.log" ] && break
        sleep 0.1
    done
    sleep 0.5
    echo "   question: $(sed -n 's/^question: //p' "$run/answer-$1.log")"
    grep -E '^(Version |Status: Version |No update|No newer version|Question:|Update |Confirmed |Nothing to confirm)' "$log" |
        sed 's/^/   updater: /' || true
    sed 's/^/   application: /' "$app_dir/demo-app.log"
    echo "   installed now: $(cat "$app_dir/version.ver")"
}

make_release 1.2 silent
make_release 1.3 confirms
publish_release 1.2
run_updater "Run 1: installs 1.2" yes
run_updater "Run 2: 1.2 never confirmed a start" none
publish_release 1.3
run_updater "Run 3: 1.3 is offered" yes
run_updater "Run 4: 1.3 confirmed its start" none
stop_all
trap - EXIT
echo
echo "Everything the demo made is in demo-run/ (each run's debug output: demo-run/updater-*.log)."
