# Sourced by the black-box tests: a virtual X display of the script's own.
# Xvfb chooses a free display number itself and takes it under its lock file
# before it reports it (-displayfd), so two scripts started together never
# end up on the same display, as with "xvfb-run -a", which picks the number
# first and starts the server after. The display is kept as it is between
# clients (-noreset): one resetting as its last client leaves refuses the next.

display_pid=
start_display() {
    local number_file
    number_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp -noreset 3>"$number_file" \
        >/dev/null 2>&1 &
    display_pid=$!
    local number=
    for _ in $(seq 200); do
        number=$(head -n 1 "$number_file")
        [ -n "$number" ] && break
        kill -0 "$display_pid" 2>/dev/null || break
        sleep 0.05
    done
    rm -f "$number_file"
    if [ -z "$number" ]; then
        echo "FAIL: Xvfb did not start"
        exit 1
    fi
    export DISPLAY=":$number"
}
stop_display() {
    if [ -n "$display_pid" ] && kill -0 "$display_pid" 2>/dev/null; then
        kill "$display_pid"
        wait "$display_pid" 2>/dev/null || true
    fi
    display_pid=
}
