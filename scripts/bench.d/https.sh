# Sourced by scripts/bench. A 1 GiB file from nginx over HTTPS on loopback
# into a file: the updater's HTTPS source (tests/bench_sources.cpp,
# HttpsSource) against `curl -o` from the same server, runs alternating,
# and the source's peak memory for 1 GiB against 10 MiB.
#   BENCH_HTTPS_RUNS   runs of each (default 5)

bench_https() {
    local runs=${BENCH_HTTPS_RUNS:-5}
    local bench=build/tests/bench_sources
    local work
    work=$(mktemp -d /tmp/bench-https.XXXXXX)
    mkdir "$work/root" "$work/out"
    # Sparse files: about the network path and the client, not the disk.
    truncate -s 1G "$work/root/1g.bin"
    truncate -s 10M "$work/root/10m.bin"

    coproc SERVER { exec "$bench" serve "$work/root" "$work/ca.pem" 2>&1; }
    local line port
    server_port
    if [ -z "$port" ]; then
        echo "https: nginx did not start" >&2
        rm -rf "$work"
        return 1
    fi

    local url=https://127.0.0.1:$port
    local client=() curl=() i t0 t1
    local out=$work/out/1g.bin
    for ((i = 1; i <= runs; i++)); do
        rm -f "$out"
        t0=$(date +%s.%N)
        "$bench" get "$url/1g.bin" "$out" "$work/ca.pem" >/dev/null
        t1=$(date +%s.%N)
        [ "$(stat -c %s "$out")" -eq 1073741824 ] || { echo "https: source got a short file" >&2; return 1; }
        client+=("$(awk "BEGIN {print $t1 - $t0}")")
        rm -f "$out"
        t0=$(date +%s.%N)
        curl -s -S --cacert "$work/ca.pem" -o "$out" "$url/1g.bin"
        t1=$(date +%s.%N)
        [ "$(stat -c %s "$out")" -eq 1073741824 ] || { echo "https: curl got a short file" >&2; return 1; }
        curl+=("$(awk "BEGIN {print $t1 - $t0}")")
        echo "   run $i: source $(printf '%.2f' "${client[-1]}") s, curl $(printf '%.2f' "${curl[-1]}") s"
    done
    rm -f "$out"

    report_against_curl https source "$(median "${client[@]}")" "$(median "${curl[@]}")"

    local small big
    small=$(peak_rss_mib "$bench" get "$url/10m.bin" "$work/out/10m.bin" "$work/ca.pem")
    big=$(peak_rss_mib "$bench" get "$url/1g.bin" "$work/out/1g.bin" "$work/ca.pem")
    report_peak_memory https "$small" "$big"

    eval "exec ${SERVER[1]}>&-"
    wait "$SERVER_PID" || true
    rm -rf "$work"
}
