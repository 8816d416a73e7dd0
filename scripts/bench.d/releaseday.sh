# Sourced by scripts/bench. Release day: many updaters checking at once
# through the project's own source list (tests/bench_releaseday.cpp): the
# primary FTP server (vsftpd taking fewer sessions than there are checks at
# a time) first, then an nginx HTTPS mirror. Every check must end with the
# version read; prints the share each source served, the median and p99
# time of a check, and the same for curl fetching "version.ver" from the
# mirror as many times, as many at a time.
#   BENCH_RELEASEDAY_CHECKS        checks (default 2000)
#   BENCH_RELEASEDAY_CONCURRENCY   checks at a time (default 100)
#   BENCH_RELEASEDAY_MAXCLIENTS    vsftpd's max_clients (default 50)

bench_releaseday() {
    local checks=${BENCH_RELEASEDAY_CHECKS:-2000} at_once=${BENCH_RELEASEDAY_CONCURRENCY:-100}
    local max_clients=${BENCH_RELEASEDAY_MAXCLIENTS:-50}
    local work
    work=$(mktemp -d /tmp/bench-releaseday.XXXXXX)
    mkdir -p "$work/root/demo_mac"
    echo 1.1 >"$work/root/demo_mac/version.ver"
    # vsftpd serves it as the test account.
    chmod -R a+rX "$work"

    local out line
    out=$(build/tests/bench_releaseday check "$work/root" "$checks" "$at_once" "$max_clients" 2>/dev/null) || true
    line=$(grep '^CHECKS' <<<"$out") || true
    if [ -z "$line" ]; then
        echo "releaseday: the checks did not run" >&2
        rm -rf "$work"
        return 1
    fi
    # CHECKS n PRIMARY p MIRROR m FAILED f HUNG h MEDIAN s P99 s
    awk -v max="$max_clients" -v c="$at_once" '{
        printf "updater: %d checks, %d at a time (vsftpd max_clients %d): primary %d (%.1f%%), mirror %d (%.1f%%), failed %d, hung %d\n",
            $2, c, max, $4, 100 * $4 / $2, $6, 100 * $6 / $2, $8, $10
        printf "updater: a check takes median %.3f s, p99 %.3f s\n", $12, $14 }' <<<"$line"
    # LEFT count slowest reason...
    grep '^LEFT' <<<"$out" | while read -r _ count slowest reason; do
        printf 'updater: primary left %d times (slowest such check %s s): %s\n' "$count" "$slowest" "$reason"
    done

    coproc SERVER { exec build/tests/bench_sources serve "$work/root" "$work/ca.pem" 2>&1; }
    local port
    server_port
    if [ -z "$port" ]; then
        echo "releaseday: nginx did not start" >&2
        rm -rf "$work"
        return 1
    fi
    local url=https://127.0.0.1:$port/demo_mac/version.ver
    # Each fetch's own time, as curl measures it, and whether it read the version.
    seq "$checks" | xargs -P "$at_once" -I{} sh -c \
        'v=$(curl -s -S --max-time 300 --cacert "$1" -w " %{time_total}" "$2") && echo $v' \
        _ "$work/ca.pem" "$url" >"$work/curl.txt" 2>/dev/null || true
    eval "exec ${SERVER[1]}>&-"
    wait "$SERVER_PID" || true
    local ok
    ok=$(awk '$1 == "1.1"' "$work/curl.txt" | wc -l)
    awk '$1 == "1.1" { print $2 }' "$work/curl.txt" | sort -g | awk -v n="$checks" -v ok="$ok" '
        { t[NR] = $1 } END {
        m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
        p = t[int(0.99 * (NR - 1) + 0.5) + 1]
        printf "curl from the mirror: %d of %d read the version; median %.3f s, p99 %.3f s\n", ok, n, m, p }'
    rm -rf "$work"
}
