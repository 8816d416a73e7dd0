#!/usr/bin/env bash
# The installer against Info-ZIP: a 200 MB update archive of a few thousand
# mixed files (some large, many small, deflated) installed over an older
# installation, and `unzip -o -q` of the same archive into a copy of the same
# installation; alternating runs, RUNS of each (default 5). Prints the median
# times and their ratio, and the installer's peak memory at a quarter of the
# archive size and at the full size (flat means it does not grow with it).
#   scripts/bench-install.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
bench=$build/tests/bench_install
work=${BENCH_WORK:-$build/bench-install}
runs=${RUNS:-5}
mkdir -p "$work"

# An installation (seed 1) and the archive of its next release (seed 2),
# both of about `megabytes` unpacked; half of the data hardly compresses,
# so 400 MB unpacked make an archive of about 200 MB.
prepare() {
    local megabytes=$1
    if [ ! -f "$work/app-$megabytes.zip" ]; then
        rm -rf "$work/old-$megabytes" "$work/new-$megabytes"
        "$bench" tree "$work/old-$megabytes" 1 "$megabytes"
        "$bench" tree "$work/new-$megabytes" 2 "$megabytes"
        (cd "$work/new-$megabytes" && zip -r -q "$work/app-$megabytes.zip.part" .)
        mv "$work/app-$megabytes.zip.part" "$work/app-$megabytes.zip"
        rm -rf "$work/new-$megabytes"
    fi
}

# Runs the command on a fresh copy of the installation; prints "SECONDS KILOBYTES".
measure() {
    local megabytes=$1
    shift
    rm -rf "$work/run"
    cp -a "$work/old-$megabytes" "$work/run"
    sync
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null
    cat "$work/time.txt"
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

prepare 100
prepare 400
archive=$work/app-400.zip
echo "== install: $(du -m "$archive" | cut -f1) MB archive, $(unzip -Z1 "$archive" | wc -l) entries, $runs runs each, alternating"
installer_times=()
unzip_times=()
for ((i = 0; i < runs; i++)); do
    if ((i % 2 == 0)); then
        installer_times+=("$(measure 400 "$bench" install "$archive" "$work/run" | cut -d' ' -f1)")
        unzip_times+=("$(measure 400 unzip -o -q "$archive" -d "$work/run" | cut -d' ' -f1)")
    else
        unzip_times+=("$(measure 400 unzip -o -q "$archive" -d "$work/run" | cut -d' ' -f1)")
        installer_times+=("$(measure 400 "$bench" install "$archive" "$work/run" | cut -d' ' -f1)")
    fi
done
installer_median=$(printf '%s\n' "${installer_times[@]}" | median)
unzip_median=$(printf '%s\n' "${unzip_times[@]}" | median)
echo "installer: ${installer_times[*]} s (median $installer_median s)"
echo "unzip -o:  ${unzip_times[*]} s (median $unzip_median s)"
awk -v a="$installer_median" -v b="$unzip_median" 'BEGIN { printf "ratio of medians: %.2f (goal: at most 1.10)\n", a / b }'

small=$(measure 100 "$bench" install "$work/app-100.zip" "$work/run" | cut -d' ' -f2)
large=$(measure 400 "$bench" install "$archive" "$work/run" | cut -d' ' -f2)
describe() { echo "$(du -m "$1" | cut -f1) MB archive of $(unzip -Z1 "$1" | wc -l) entries"; }
echo "installer peak memory: $((small / 1024)) MB for the $(describe "$work/app-100.zip"), $((large / 1024)) MB for the $(describe "$archive")"
rm -rf "$work/run"
