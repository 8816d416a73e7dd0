# Sourced by scripts/demo --linux once the Updater is built with the demo key
# and the demo service started: an application of the Linux layout (the
# executable Demo at the top of its folder, the Updater and a config.conf
# with "slayout==linux" beside it) at version 1.0; Demo 1.1 is published to
# demo_linux with a delta from 1.0, and the Updater installs it and starts
# Demo itself, detached, with no "open" of any kind on PATH.

linux_dir=$run/linux-installation
rm -f "$run/ftp-commands.log"

# Demo at the given version: a script that notes its start and, a moment
# later, that it still runs (by then the Updater has ended).
make_linux_release() { # dir version
    mkdir -p "$1/share"
    cat >"$1/Demo" <<APP
#!/bin/sh
log="\$(dirname "\$0")/demo-app.log"
echo "Demo $2 started at \$(date '+%H:%M:%S'), process \$\$" >>"\$log"
sleep 2
echo "Demo $2 still runs at \$(date '+%H:%M:%S')" >>"\$log"
APP
    chmod 755 "$1/Demo"
    echo "$2" >"$1/version.ver"
}
make_linux_release "$run/linux-release-1.0" 1.0
head -c 3000000 /dev/urandom >"$run/linux-release-1.0/share/demo-data.bin"
make_linux_release "$run/linux-release-1.1" 1.1
cp "$run/linux-release-1.0/share/demo-data.bin" "$run/linux-release-1.1/share/"
printf 'edited in 1.1' | dd of="$run/linux-release-1.1/share/demo-data.bin" \
    bs=1 seek=1500000 conv=notrunc status=none

echo "== Laying out the Linux installation in demo-run/linux-installation"
mkdir -p "$linux_dir"
cp -a "$run/linux-release-1.0/." "$linux_dir/"
cp "$build/trunk/Updater" "$linux_dir/Updater"
printf 'surl==127.0.0.1\nsport==%s\nsappdir==demo\nsappname==Demo\nslayout==linux\n' \
    "$ftp_port" >"$linux_dir/config.conf"
sed 's/^/   config.conf: /' "$linux_dir/config.conf"

echo "== Publishing Demo 1.1 to demo_linux with updater-publish (with notes and a delta from 1.0)"
"$publish" --server "127.0.0.1:$ftp_port" --folder demo_linux --product Demo --version 1.1 \
    --key "$run/keys/minisign.key" --notes "$run/notes-1.1.md" \
    --previous "$run/linux-release-1.0" "$run/linux-release-1.1" |
    tee "$run/publish-linux.log" | sed 's/^/   /'
mv "$run/ftp-commands.log" "$run/publish-commands.log"

case ":$PATH:" in
*":$repo/scripts/bin:"*)
    echo "the open stand-in is on PATH" >&2
    exit 1
    ;;
esac
echo "== Running the Updater (installed version $(cat "$linux_dir/version.ver"), published version 1.1)"
echo "   \"open\" on PATH: $(command -v open || echo none)"
set +e
if [ -n "${DISPLAY:-}" ]; then
    echo "   Answer the question in the Updater's window."
    "$linux_dir/Updater" >"$run/updater.log" 2>&1
    updater_status=$?
    question="answered by you"
else
    xvfb-run -a -s "-screen 0 640x480x24" scripts/answer-update "$linux_dir/Updater" yes \
        "$run/screenshot.png" >"$run/answer.log" 2>"$run/updater.log"
    updater_status=$?
    question="$(sed -n 's/^question: //p' "$run/answer.log"), answered Yes by xdotool"
fi
set -e
updater_ended=$(date '+%H:%M:%S')
for _ in $(seq 50); do
    grep -q "still runs" "$linux_dir/demo-app.log" 2>/dev/null && break
    sleep 0.1
done
stop_service
trap - EXIT

echo
echo "== What happened"
echo "Updater exit code:  $updater_status, ended at $updater_ended"
echo "Update question:    $question"
echo "Installed version:  1.0 before, $(cat "$linux_dir/version.ver") after"
verified=$(grep -m 1 -E '^(Release information verified|Signature verified)' "$run/updater.log" || echo "(not checked)")
echo "Release signature:  $verified"
fetched=$(sed -n 's/^Update installed (\(delta from .*\))$/\1/p' "$run/updater.log")
echo "Downloaded:         ${fetched:-the full archive}"
echo "FTP commands the service received:"
sed 's/^/  /' "$run/ftp-commands.log" 2>/dev/null || echo "  (none)"
echo "Application started (detached: it runs on after the Updater ended):"
sed 's/^/  /' "$linux_dir/demo-app.log" 2>/dev/null || echo "  (no start recorded)"
echo "Everything the demo made is in demo-run/ (the Updater's debug output: demo-run/updater.log)."
