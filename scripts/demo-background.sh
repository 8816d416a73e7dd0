# Sourced by scripts/demo --background once the Updater is built with the
# demo key, the installation of Demo 1.0 laid out and the demo service
# started: Demo 1.1 is published as a background release; the Updater starts
# Demo 1.0 at once, without a question, and downloads 1.1 behind it (the
# service sends about 1 MB/s); its next start installs 1.1 before launching,
# again without a question. Without a display the runs share one Xvfb.

export PATH=$repo/scripts/bin:$PATH
updater=$app_dir/Updater.app/Contents/MacOS/Updater
share_one_display
printf 'surl==127.0.0.1\nsport==%s\nsappdir==demo\nsappname==Demo\n' "$ftp_port" >"$app_dir/config.conf"
# 1.1 carries new data of its own: the whole archive is downloaded.
head -c 3000000 /dev/urandom >"$run/release-1.1/Demo.app/Contents/Resources/demo-data.bin"

echo "== Publishing Demo 1.1 as a background release (--delivery background)"
"$publish" --server "127.0.0.1:$ftp_port" --folder demo_mac --product Demo --version 1.1 \
    --delivery background --key "$run/keys/minisign.key" "$run/release-1.1" \
    >"$run/publish.log" 2>&1 || { cat "$run/publish.log" >&2; exit 1; }

now() { date '+%H:%M:%S.%N' | cut -c1-12; }

# Runs the Updater once (no question expected) and shows when it started,
# when the application started and when the Updater ended, with its lines
# about the release.
run_updater() { # label
    local log=$run/updater-$1.log
    echo "== Run $1 (installed: $(cat "$app_dir/version.ver"))"
    : >"$app_dir/demo-app.log"
    echo "   $(now) Updater started"
    set +e
    scripts/answer-update "$updater" none >"$run/answer-$1.log" 2>"$log" &
    local answer=$!
    for _ in $(seq 300); do
        [ -s "$app_dir/demo-app.log" ] && break
        sleep 0.01
    done
    echo "   $(now) $(cat "$app_dir/demo-app.log") (installed then: $(cat "$app_dir/version.ver"))"
    wait "$answer"
    set -e
    echo "   $(now) Updater ended; question: $(sed -n 's/^question: //p' "$run/answer-$1.log")"
    grep -E '^(Downloading in the background|Downloaded|Version |Status: Installing|Update installed|No newer|Ready update)' "$log" |
        sed 's/^/   updater: /' || true
    echo "   installed now: $(cat "$app_dir/version.ver"); ready update waiting: $(
        [ -f "$app_dir/.update-ready/ready" ] && echo yes || echo no)"
}

run_updater 1
run_updater 2
stop_all
trap - EXIT
echo
echo "Everything the demo made is in demo-run/ (each run's debug output: demo-run/updater-*.log)."
