# Sourced by the scripts that start kivsandbox in the background with
# --port-file: waits for its ready line instead of each writing the loop.
#
#   sandbox_port PID PORT_FILE LOG [TENTHS]
#
# Waits until the sandbox started as PID has written its ready line to
# PORT_FILE (at most TENTHS tenths of a second, default 200) and prints its
# universe port. When the sandbox exits first or never gets ready, prints
# LOG to standard error and fails.
sandbox_port() {
    local pid=$1 ports=$2 log=$3 tenths=${4:-200}
    for _ in $(seq "$tenths"); do
        [ -s "$ports" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -s "$ports" ]; then
        echo "the sandbox did not get ready" >&2
        [ -f "$log" ] && cat "$log" >&2
        return 1
    fi
    sed -n 's/^ready universe=\([0-9]*\).*/\1/p' "$ports"
}
