# Sourced by scripts/bench. A 200 MB archive fetched over HTTPS from nginx
# through a proxy that cuts the connection at 20 random points, resumed
# each time (tests/bench_sources.cpp): the bytes sent over the file's size
# (goal at most 1.05) and the wall time against one uncut download through
# the same proxy. The pauses between tries (1 s and more) are part of it.
#   BENCH_RESUME_CUTS   cut points (default 20)

bench_resume() {
    local cuts=${BENCH_RESUME_CUTS:-20}
    local work
    work=$(mktemp -d /tmp/bench-resume.XXXXXX)
    mkdir "$work/root"
    # Random bytes: a file no layer can compress or skip.
    head -c 200000000 /dev/urandom >"$work/root/app.zip"
    local line
    line=$(build/tests/bench_sources resume "$work/root" app.zip "$cuts") || {
        echo "resume: the fetch failed" >&2
        rm -rf "$work"
        return 1
    }
    rm -rf "$work"
    # SIZE s UNCUT_SENT a UNCUT_SECONDS b CUT_SENT c CUT_SECONDS d
    set -- $line
    awk -v size="$2" -v usent="$4" -v usec="$6" -v csent="$8" -v csec="${10}" -v n="$cuts" 'BEGIN {
        printf "resume 200 MB, %d cuts: bytes sent %.4f of the size (uncut %.4f), goal at most 1.05\n",
            n, csent / size, usent / size
        printf "resume wall time: cut %.2f s, uncut %.2f s (%.1fx)\n", csec, usec, csec / usec }'
}
