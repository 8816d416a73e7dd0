# Sourced by scripts/demo --rotate-key once the Updater is built with the demo
# key (key A), the installation laid out at Demo 1.0 and the demo service
# started: Demo 1.1 is published signed by A; then a keyring names key B
# the release key and revokes A (keyring 1 lists A and B, keyring 2 B alone,
# each signed by A as the root); Demo 1.2 is published signed by B. The
# installation follows: 1.1 installed, the keyrings walked, 1.2 installed.
# Last, Demo 1.3 signed by the revoked A (as a thief of A would put it on the
# server; updater-publish itself refuses) is refused. Without a display the
# runs share one Xvfb, and xdotool answers the question.

export PATH=$repo/scripts/bin:$PATH
updater=$app_dir/Updater.app/Contents/MacOS/Updater
share_one_display
printf 'surl==127.0.0.1\nsport==%s\nsappdir==demo\nsappname==Demo\n' "$ftp_port" >"$app_dir/config.conf"
"$publish" keygen "$run/keys-b" >"$run/keygen-b.log"
key_b=$(sed -n 's/^untrusted comment: minisign public key //p' "$run/keys-b/minisign.pub")
key_a=$key_id

make_release() { # version
    local dir=$run/release-$1
    mkdir -p "$dir"
    make_demo_bundle "$dir" "$1"
    echo "$1" >"$dir/version.ver"
}

publish_release() { # version key-dir key-name
    echo "== Publishing Demo $1 signed by $3"
    "$publish" --server "127.0.0.1:$ftp_port" --folder demo_mac --product Demo --version "$1" \
        --key "$2/minisign.key" "$run/release-$1" >"$run/publish-$1.log" 2>&1 || true
    grep -E '^(Published|updater-publish)' "$run/publish-$1.log" | sed 's/^/   /'
}
# Each keyring upload's last line (the whole output is in demo-run/).
publish_keyring() { # options...
    "$publish" keyring publish "$ring" --server "127.0.0.1:$ftp_port" "$@" >>"$run/keyring.log" 2>&1 ||
        { tail -n 1 "$run/keyring.log" >&2; exit 1; }
    tail -n 1 "$run/keyring.log" | sed 's/^/   /'
}

run_updater() { # label
    local log=$run/updater-$1.log
    echo "== $1 (installed: $(cat "$app_dir/version.ver"))"
    set +e
    scripts/answer-update "$updater" yes >"$run/answer-$1.log" 2>"$log"
    set -e
    echo "   question: $(sed -n 's/^question: //p' "$run/answer-$1.log")"
    grep -E '^(Keyring |Release information verified|No update|No newer version|Update )' "$log" |
        sed 's/^/   updater: /' || true
    echo "   installed now: $(cat "$app_dir/version.ver")"
}

make_release 1.1
make_release 1.2
make_release 1.3
publish_release 1.1 "$run/keys" "key A ($key_a)"
run_updater "Run 1: 1.1 signed by A"

echo "== Keyring: key B ($key_b) signs releases from now on, A is revoked"
ring=$run/keyring
# Paths as the README shows them: from the repository.
short() { sed "s|$repo/||g; s/^/   /"; }
"$publish" keyring init "$ring" --product Demo --folder demo_mac --root "$run/keys/minisign.pub" \
    --threshold 1 --release-key "$run/keys/minisign.pub" --release-key "$run/keys-b/minisign.pub" | short
"$publish" keyring sign "$ring" --key "$run/keys/minisign.key" | short
publish_keyring --built-in-key "$run/keys/minisign.pub"
"$publish" keyring revoke "$ring" --key-id "$key_a" | short
"$publish" keyring sign "$ring" --key "$run/keys/minisign.key" | short
publish_keyring
for sig in "$server"/demo_mac/keyring-*.minisig; do
    name=${sig##*/}
    minisign -V -q -p "$run/keys/minisign.pub" -m "${sig%.*.minisig}" -x "$sig" &&
        echo "   minisign -V -p A.pub: $name verifies"
done

publish_release 1.2 "$run/keys-b" "key B ($key_b)"
run_updater "Run 2: the keyring walked, 1.2 signed by B"

publish_release 1.3 "$run/keys" "the revoked key A ($key_a)"
echo "   ... and put on the server by hand, as a thief of key A would"
"$publish" --output "$run/out-1.3" --folder demo_mac --product Demo --version 1.3 \
    --key "$run/keys/minisign.key" "$run/release-1.3" >/dev/null
cp "$run/out-1.3"/* "$server/demo_mac/"
run_updater "Run 3: 1.3 signed by the revoked A"
stop_all
trap - EXIT
echo
echo "Everything the demo made is in demo-run/ (each run's debug output: demo-run/updater-*.log)."
