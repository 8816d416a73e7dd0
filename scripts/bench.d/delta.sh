# Sourced by scripts/bench. Delta updates on a generated release of a few
# thousand mixed files (the install benchmark's generator, about 200 MB as
# an archive) and its next point release: 3% of the files changed by small
# edits (the largest file among them), 10 added, 5 removed. Reports the delta's size against the full
# archive, the time and peak memory to make it, the time to check, apply and
# install it against installing the full archive (runs alternating), the
# updater's peak memory doing so, and bsdiff/bspatch (Debian's) on the same
# changed files, side by side with the delta's patches.
#   RUNS              runs of each install (default 3)
#   BENCH_DELTA_MB    megabytes of the release unpacked (default 400)

bench_delta() {
    local runs=${RUNS:-3} megabytes=${BENCH_DELTA_MB:-400}
    local delta_bench=$PWD/build/tests/bench_delta install_bench=$PWD/build/tests/bench_install
    local work
    work=$(mktemp -d /tmp/bench-delta.XXXXXX)
    "$install_bench" tree "$work/old" 1 "$megabytes"
    cp -a "$work/old" "$work/new"
    "$delta_bench" point "$work/new" 7 "$work/changed.txt"
    "$delta_bench" archive "$work/old" "$work/old.zip"
    "$delta_bench" archive "$work/new" "$work/new.zip"
    mkdir "$work/out"
    local files archive_bytes
    files=$(find "$work/new" -type f | wc -l)
    archive_bytes=$(stat -c %s "$work/new.zip")
    echo "release: $files files, $(du -sm "$work/new" | cut -f1) MB unpacked, archive $((archive_bytes / 1048576)) MB;" \
        "$(wc -l <"$work/changed.txt") files edited, 10 added, 5 removed"

    /usr/bin/time -f "%e %M" -o "$work/make.txt" "$delta_bench" make "$work/old.zip" "$work/new.zip" "$work/out" \
        >"$work/contents.txt"
    cat "$work/contents.txt"
    local delta delta_bytes index_bytes make_seconds make_kb
    delta=$(ls "$work"/out/delta-*.zip)
    delta_bytes=$(stat -c %s "$delta")
    index_bytes=$(stat -c %s "${delta%.zip}.json")
    read -r make_seconds make_kb <"$work/make.txt"
    awk -v d="$delta_bytes" -v i="$index_bytes" -v a="$archive_bytes" -v s="$make_seconds" -v m="$make_kb" 'BEGIN {
        printf "delta size: %.2f MB of a %.1f MB archive: %.2f%% (goal: at most 10%%)\n",
            d / 1048576, a / 1048576, 100 * d / a
        printf "fetched before it, its index: %.2f MB; both together %.2f%% of the archive\n",
            i / 1048576, 100 * (d + i) / a
        printf "making the delta: %.1f s, peak memory %.0f MB\n", s, m / 1024 }'

    # Each install starts from a fresh copy of the old installation.
    measure() {
        rm -rf "$work/run"
        cp -a "$work/old" "$work/run"
        sync
        /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >"$work/phases.txt"
        cat "$work/time.txt"
    }
    local i delta_times=() full_times=() line
    for ((i = 0; i < runs; i++)); do
        line=$(measure "$delta_bench" apply "$delta" "$work/run")
        delta_times+=("${line% *}")
        local delta_kb=${line#* }
        echo "   run $((i + 1)): delta $(cat "$work/phases.txt")"
        line=$(measure "$install_bench" install "$work/new.zip" "$work/run")
        full_times+=("${line% *}")
        local full_kb=${line#* }
    done
    local delta_median full_median
    delta_median=$(median "${delta_times[@]}")
    full_median=$(median "${full_times[@]}")
    echo "check+apply+install the delta: ${delta_times[*]} s (median $delta_median s)"
    echo "install the full archive:      ${full_times[*]} s (median $full_median s)"
    awk -v a="$delta_median" -v b="$full_median" 'BEGIN {
        printf "ratio of medians delta/full: %.2fx (goal: at most 1.0x)\n", a / b }'
    local largest
    largest=$(find "$work/new" -type f -printf '%s\n' | sort -n | tail -1)
    awk -v d="$delta_kb" -v f="$full_kb" -v l="$largest" 'BEGIN {
        printf "peak memory: delta %.0f MB, full install %.0f MB; largest file %.1f MB\n",
            d / 1024, f / 1024, l / 1048576
        printf "delta peak over the largest file: %.1f MiB (goal: at most 32 MiB)\n",
            d / 1024 - l / 1048576 }'

    # bsdiff on exactly the edited files.
    local path bsdiff_bytes=0 t0 t1 bsdiff_seconds=0 bspatch_seconds=0 bsdiff_kb=0 kb
    while read -r path; do
        t0=$(date +%s.%N)
        /usr/bin/time -f "%M" -o "$work/bsdiff-mem.txt" bsdiff "$work/old/$path" "$work/new/$path" "$work/patch"
        t1=$(date +%s.%N)
        bsdiff_seconds=$(awk -v s="$bsdiff_seconds" -v a="$t0" -v b="$t1" 'BEGIN { print s + b - a }')
        kb=$(cat "$work/bsdiff-mem.txt")
        ((kb > bsdiff_kb)) && bsdiff_kb=$kb
        bsdiff_bytes=$((bsdiff_bytes + $(stat -c %s "$work/patch")))
        t0=$(date +%s.%N)
        bspatch "$work/old/$path" "$work/patched" "$work/patch"
        t1=$(date +%s.%N)
        bspatch_seconds=$(awk -v s="$bspatch_seconds" -v a="$t0" -v b="$t1" 'BEGIN { print s + b - a }')
        cmp -s "$work/patched" "$work/new/$path" || echo "bspatch: $path does not come out right" >&2
    done <"$work/changed.txt"
    echo "the same edited files, Zstandard patches in the delta against bsdiff:"
    echo "   Zstandard: $("$delta_bench" patches "$work/old" "$work/new" "$work/changed.txt")," \
        "applied within the delta's apply phase"
    awk -v b="$bsdiff_bytes" -v s="$bsdiff_seconds" -v p="$bspatch_seconds" -v m="$bsdiff_kb" 'BEGIN {
        printf "   bsdiff: %d bytes of patches, made in %.1f s (peak %.0f MB), applied by bspatch in %.1f s\n",
            b, s, m / 1024, p }'
    rm -rf "$work"
}
