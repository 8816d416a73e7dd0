# Sourced by scripts/bench. The installer against Info-ZIP's `unzip -o` on a
# 200 MB archive of a few thousand mixed files; the body runs in its own
# shell (scripts/bench-install.sh), as it is also run on its own.
#   RUNS   runs of each (default 5)

bench_install() {
    bash scripts/bench-install.sh build
}
