# Shared by scripts/demo and scripts/check-ansible: images to send and the
# simulated devices to take them, inside a private network namespace.
# shellcheck shell=bash

VARNEL_SIM="$VARNEL_ROOT/build/tools/devicesim/varnel-devicesim"
VARNEL_SIM_PID=''

# varnel_make_images DIR: three images of random bytes, a few hundred KB each.
varnel_make_images() {
    local n
    mkdir -p "$1"
    for n in 1 2 3; do
        head -c $((200 * 1024 + n * 70001)) /dev/urandom >"$1/file$n.varnelfmw"
    done
}

# varnel_start_simulator LOG SECONDS ARGS...: starts the simulated devices,
# to quit after SECONDS at the latest, and waits until they listen (10 s at
# most). Returns non-zero, with their output on stderr, when they do not.
varnel_start_simulator() {
    local simlog="$1" seconds="$2" i
    shift 2
    "$VARNEL_SIM" --timeout "$seconds" "$@" >"$simlog" 2>&1 &
    VARNEL_SIM_PID=$!
    for ((i = 0; i < 100; i++)); do
        grep -qs '^listening on' "$simlog" && return 0
        kill -0 "$VARNEL_SIM_PID" 2>/dev/null || break
        sleep 0.1
    done
    cat "$simlog" >&2
    return 1
}

# varnel_stop_simulator: stops them, if running, and waits for them to go.
varnel_stop_simulator() {
    [ -n "$VARNEL_SIM_PID" ] || return 0
    kill "$VARNEL_SIM_PID" 2>/dev/null || true
    wait "$VARNEL_SIM_PID" 2>/dev/null || true
    VARNEL_SIM_PID=''
}
