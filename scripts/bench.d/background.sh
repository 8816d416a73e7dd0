# Sourced by scripts/bench. A release published as background against the
# same release asked for (tests/bench_background.cpp), over a loopback FTP
# server: the start-to-launch with the release pending against the one with
# nothing newer (goal: within 1.2x), the next start's install of the ready
# update, the swap alone (goal: at most 0.5 s), and today's
# ask-download-install of the same release beside them.
#   BENCH_BACKGROUND_MIB    the release's size (default 210)
#   BENCH_BACKGROUND_RUNS   runs of each (default 3)

bench_background() {
    local mib=${BENCH_BACKGROUND_MIB:-210} runs=${BENCH_BACKGROUND_RUNS:-3}
    local out
    out=$(build/tests/bench_background "$mib" "$runs") || {
        echo "background: the benchmark did not run" >&2
        return 1
    }
    local none pending ready check swap ask
    # shellcheck disable=SC2046
    none=$(median $(awk '$1 == "NOUPDATE" { $1 = ""; print }' <<<"$out"))
    pending=$(median $(awk '$1 == "BACKGROUND" { $1 = ""; print }' <<<"$out"))
    ready=$(median $(awk '$1 == "READY" { $1 = ""; print }' <<<"$out"))
    check=$(median $(awk '$1 == "CHECK" { $1 = ""; print }' <<<"$out"))
    swap=$(median $(awk '$1 == "SWAP" { $1 = ""; print }' <<<"$out"))
    ask=$(median $(awk '$1 == "ASK" { $1 = ""; print }' <<<"$out"))
    awk -v m="$mib" -v n="$none" -v p="$pending" -v r="$ready" -v c="$check" -v s="$swap" \
        -v a="$ask" -v runs="$runs" 'BEGIN {
        printf "background, a %d MiB release, medians of %d runs:\n", m, runs
        printf "  start to launch, nothing newer:           %.3f s\n", n
        printf "  start to launch, the release pending:     %.3f s (%.2fx; goal at most 1.2x)\n", p, p / n
        printf "  made ready behind the application:        %.3f s\n", r
        printf "  next start, the check of the ready update: %.3f s\n", c
        printf "  next start, its install (the swap only):  %.3f s (goal at most 0.5 s)\n", s
        printf "  today: ask, download and install, Yes at once: %.3f s to launch\n", a }'
}
