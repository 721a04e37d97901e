#!/usr/bin/env bash
# Runs KIVSDK's benchmark suite and prints a table of figures and of ratios
# to this machine's raw limits, measured in the same run; draws the plot.
#
# Usage: scripts/bench.sh [--reps N] [--plot FILE] [--from FIGURES]
#
#   --reps N        repetitions of each timed measurement (default 5); the
#                   table shows medians
#   --plot FILE     where the PNG goes (default <build>/bench-results/performance.png)
#   --from FIGURES  measure nothing: table and plot of an earlier run's
#                   figures.txt
#
# Environment:
#   KIVSDK_BENCH_BUILD=DIR  build folder (default <repo>/build-bench), a
#                           RelWithDebInfo build with tests on (the TLS
#                           figures use the tests' loopback TLS server)
#
# Installs gnuplot-nox and valgrind when missing (as root, or with sudo).
# Absolute figures drift between runs on a shared machine; the ratios,
# measured side by side, hold.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$ROOT/scripts/lib/sandbox-ready.sh"
BUILD=${KIVSDK_BENCH_BUILD:-$ROOT/build-bench}
OUT=$BUILD/bench-results
REPS=5
PLOT=""
FROM=""
while [ $# -gt 0 ]; do
    case $1 in
        --reps) REPS=$2; shift 2 ;;
        --plot) PLOT=$2; shift 2 ;;
        --from) FROM=$2; shift 2 ;;
        *) echo "usage: scripts/bench.sh [--reps N] [--plot FILE] [--from FIGURES]" >&2; exit 2 ;;
    esac
done
mkdir -p "$OUT"
[ -n "$PLOT" ] || PLOT=$OUT/performance.png
case $PLOT in /*) ;; *) PLOT=$PWD/$PLOT ;; esac
FIGURES=$OUT/figures.txt

log() { printf '==> %s\n' "$*" >&2; }

# ---- Tools -------------------------------------------------------------------

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

ensure_tools() {
    local want=()
    command -v gnuplot >/dev/null || want+=(gnuplot-nox)
    command -v valgrind >/dev/null || want+=(valgrind)
    [ ${#want[@]} -eq 0 ] && return 0
    log "installing ${want[*]}"
    if ! as_root apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends "${want[@]}" >&2; then
        as_root apt-get -o DPkg::Lock::Timeout=300 update -q >&2
        as_root apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends "${want[@]}" >&2
    fi
}

# ---- Build -------------------------------------------------------------------

build() {
    local flags=()
    [ -f "$BUILD/CMakeCache.txt" ] || flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DKIVSDK_WARNINGS_AS_ERRORS=ON -DKIVSDK_BUILD_TESTS=ON \
        -DKIVSDK_BUILD_BENCHMARKS=ON "${flags[@]}" >/dev/null
    local targets=(kivsdk_bench KIVSDK)
    [ -d "$ROOT/sandbox" ] && targets+=(kivsandbox kivswarm)
    cmake --build "$BUILD" -j 2 --target "${targets[@]}" >&2
}

# ---- Measurements ------------------------------------------------------------

BENCH=$BUILD/bench/kivsdk_bench
SANDBOX=$BUILD/sandbox/kivsandbox
KIVSWARM=$BUILD/tools/kivswarm/kivswarm
LIBRARY=$BUILD/src/libKIVSDK.so

# Runs one mode; its FIGURE and NOTE lines go to the figures file.
measure() {
    local name=$1
    shift
    log "$name"
    local output
    if ! output=$("$BENCH" "$@"); then
        printf '%s\n' "$output" >&2
        log "$name failed"
        return 1
    fi
    printf '%s\n' "$output" | grep -E '^(FIGURE|NOTE) ' >>"$FIGURES" || true
}

# Instructions per delivered frame under callgrind: two runs of different
# length, so that start-up cancels out.
instructions() {
    local what=$1 short=1 long=4 ir_short ir_long n_short n_long
    log "callgrind: $what"
    read -r ir_short n_short < <(callgrind_run "$what" $short)
    read -r ir_long n_long < <(callgrind_run "$what" $long)
    awk -v a="$ir_short" -v b="$ir_long" -v m="$n_short" -v n="$n_long" -v w="$what" \
        'BEGIN { printf "FIGURE instructions.%s %.1f instr/frame\n", w, (b - a) / (n - m) }' >>"$FIGURES"
}

callgrind_run() {
    local file=$OUT/callgrind.$1.$2 frames ir
    frames=$(valgrind --tool=callgrind --callgrind-out-file="$file" "$BENCH" probe "$1" "$2" 2>/dev/null |
        awk '$1 == "PROBE" { print $3 }')
    ir=$(awk '$1 == "summary:" || $1 == "totals:" { print $2; exit }' "$file")
    printf '%s %s\n' "$ir" "$frames"
}

# Instructions per frame sent by kiv_state_change (the send bench's library
# sender: the frame built, queued and handed to send()), under callgrind.
send_instructions() {
    local file=$OUT/callgrind.send ir
    log "callgrind: send path"
    valgrind --tool=callgrind --callgrind-out-file="$file" "$BENCH" send --reps 1 >/dev/null 2>&1 || return 1
    ir=$(callgrind_annotate --inclusive=yes "$file" 2>/dev/null |
        awk '$0 ~ /:kiv_state_change( \[|$)/ { gsub(",", "", $1); print $1; exit }')
    [ -n "$ir" ] && awk -v ir="$ir" \
        'BEGIN { printf "FIGURE instructions.send %.1f instr/frame\n", ir / 100000 }' >>"$FIGURES"
}

# A kivswarm run against its own sandbox: 1000 bots walking at 1 Hz in one
# plain world (nothing else), one pass of the loop every 10 ms; the swarm's
# CPU share and lag from its JSON report.
swarm_busy() {
    local bots=$1 seconds=$2 ports=$OUT/swarm-sandbox.ports report=$OUT/swarm-busy.json pid
    log "kivswarm: $bots walkers for $seconds s"
    rm -f "$ports"
    "$SANDBOX" --quiet --port-file "$ports" --world lobby:plain --max-clients 20000 \
        >/dev/null 2>"$OUT/swarm-sandbox.log" &
    pid=$!
    local port=
    port=$(sandbox_port "$pid" "$ports" "$OUT/swarm-sandbox.log" 100) || true
    if [ -n "$port" ] && "$KIVSWARM" --port "$port" --world lobby --bots "$bots" --ramp 200 \
        --duration "$seconds" --walk-hz 1 --chat-every 0 --build-every 0 --query-every 0 \
        --pass-every 10 --json "$report" >/dev/null 2>&1; then
        /usr/bin/python3 - "$report" "$bots" >>"$FIGURES" <<'PY'
import json, sys
report = json.load(open(sys.argv[1]))
bots = int(sys.argv[2])
# The seconds with every bot in (the ramp's handshakes left out).
steady = [s for s in report["series"] if s["in"] == bots]
share = sum(s["cpu_percent"] for s in steady) / max(1, len(steady)) / 100
events = sum(s["events"] for s in steady) / max(1, len(steady))
print("FIGURE swarm_busy.cpu_share %.3f ratio" % share)
print("FIGURE swarm_busy.events_per_second %.0f 1/s" % events)
print("FIGURE swarm_busy.steady_seconds %d s" % len(steady))
print("FIGURE swarm_busy.bots_in %d bots" % report["bots"]["in"])
PY
    else
        log "kivswarm run failed"
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# ---- Table and plot ------------------------------------------------------------

value() { awk -v k="$1" '$1 == "FIGURE" && $2 == k { print $3 }' "$FIGURES"; }

print_table() {
    printf '\n| figure | value | unit |\n|---|---:|---|\n'
    awk '$1 == "FIGURE" {
        v = $3; u = $4
        if (u == "events/s" || u == "frames/s") { printf "| %s | %.2f | M%s |\n", $2, v / 1e6, u }
        else if (u == "B" && v < 1024) { printf "| %s | %.1f | B |\n", $2, v }
        else if (u == "B") { printf "| %s | %.1f | KiB |\n", $2, v / 1024 }
        else if (u == "ratio") { printf "| %s | %.3f | ratio |\n", $2, v }
        else { printf "| %s | %.1f | %s |\n", $2, v, u }
    }' "$FIGURES"
    printf '\n| target | measured | goal | met |\n|---|---:|---:|---|\n'
    target "in-memory dispatch / copy-per-frame cutter" memory.dispatch_vs_copy ge 0.5 ratio
    target "plain loopback / raw receiver" plain.library_vs_raw ge 0.7 ratio
    target "TLS 1.3 loopback / raw TLS receiver" tls.library_vs_raw ge 0.85 ratio
    target "round trip p50, object add (plain)" roundtrip.object_add_plain_p50 le 200 us
    target "round trip p50, object add (TLS)" roundtrip.object_add_tls_p50 le 200 us
    target "round trip p50, say (plain)" roundtrip.say_plain_p50 le 200 us
    target "round trip p50, say (TLS)" roundtrip.say_tls_p50 le 200 us
    target "resident memory per Instance (scale, idle)" scale.resident_per_instance le 262144 B
    target "resident memory per Instance (busy buffers)" memory.resident_per_instance_busy le 262144 B
    target "1000 idle Instances at 10 Hz, share of one core" scale.idle_cpu_share le 0.05 ratio
    target "dispatch, instructions per event (reading handlers)" instructions.dispatch le 450 instr
    target "send path / raw send() with TCP_NODELAY" send.library_vs_raw_nodelay ge 0.8 ratio
    target "busy world swarm (plain, 10 ms passes), share of one core" busy_plain_tick10ms.client_cpu_share le 0.5 ratio
    target "busy world swarm (TLS, 10 ms passes), share of one core" busy_tls_tick10ms.client_cpu_share le 0.5 ratio
    target "kivswarm, 1000 walkers, share of one core" swarm_busy.cpu_share le 0.5 ratio
    target "Locust, failed requests" locust.all_failures le 0 requests
    grep '^NOTE ' "$FIGURES" | sed 's/^NOTE /- /' || true
}

target() {
    local name=$1 key=$2 op=$3 goal=$4 unit=$5 v
    v=$(value "$key")
    if [ -z "$v" ]; then
        printf '| %s | not measured | %s %s | - |\n' "$name" "$goal" "$unit"
        return
    fi
    awk -v n="$name" -v v="$v" -v op="$op" -v g="$goal" -v u="$unit" 'BEGIN {
        met = (op == "ge") ? (v >= g) : (v <= g)
        if (u == "B") printf "| %s | %.1f KiB | %s %.0f KiB | %s |\n", n, v / 1024, (op == "ge" ? ">=" : "<="), g / 1024, met ? "yes" : "NO"
        else printf "| %s | %.3f %s | %s %s | %s |\n", n, v, u, (op == "ge" ? ">=" : "<="), g, met ? "yes" : "NO"
    }'
}

# One bar of the plot: label, value in millions, 1 for a limit, 2 for the library.
bar() {
    local v
    v=$(value "$2")
    [ -n "$v" ] && LABEL=$1 awk -v v="$v" -v k="$3" \
        'BEGIN { printf "\"%s\" %.3f %d\n", ENVIRON["LABEL"], v / 1e6, k }'
    return 0
}

plot() {
    local data=$OUT/plot.dat
    {
        bar 'in memory\nminimal cutter' memory.minimal_cutter 1
        bar 'in memory\ncopy per frame' memory.copy_cutter 1
        bar 'in memory\nlibrary' memory.dispatch 2
        bar 'in memory\nno handlers' memory.dispatch_without_handlers 2
        bar 'plain TCP\nrecv + cutter' plain.raw_receiver 1
        bar 'plain TCP\nlibrary' plain.library 2
        bar 'TLS 1.3\nssl_read + cutter' tls.raw_receiver 1
        bar 'TLS 1.3\nlibrary' tls.library 2
    } >"$data"
    gnuplot <<EOF
set terminal pngcairo size 1100,620 font ",10" noenhanced
set output "$PLOT"
set title "KIVSDK receive path: events/s by path against the raw limits ($(nproc) cores, world stream)"
set ylabel "million frames or events per second (log scale)"
set logscale y
set yrange [0.1:*]
set bmargin 5
set style fill solid 0.8 border -1
set boxwidth 0.6
set grid ytics
set key off
set xtics font ",9"
plot "$data" using 0:2:(\$3 == 1 ? 0x9e9e9e : 0x2a6fb0):xtic(1) with boxes lc rgb variable, \
     "" using 0:2:(sprintf("%.2f", \$2)) with labels offset 0,0.8
EOF
    log "plot: $PLOT"
}

# ---- Run ---------------------------------------------------------------------

main() {
    local start=$SECONDS
    if [ -n "$FROM" ]; then
        FIGURES=$FROM
        plot
        print_table
        return
    fi
    : >"$FIGURES"
    ensure_tools
    build
    {
        printf 'NOTE machine: %s, %s cores, %s\n' "$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)" \
            "$(nproc)" "$(awk '/MemTotal/ { printf "%.1f GiB RAM", $2 / 1048576 }' /proc/meminfo)"
        printf 'NOTE load at start: %s\n' "$(uptime | sed 's/.*load average: //')"
    } >>"$FIGURES"
    measure "in-memory dispatch and cutters" dispatch --reps "$REPS"
    measure "plain TCP loopback" plain --reps "$REPS"
    measure "TLS 1.3 loopback" tls --reps "$REPS"
    measure "send path" send --reps "$REPS"
    measure "memory per Instance (TLS universe and world)" memory 100
    if [ -x "$SANDBOX" ]; then
        measure "round trips against the sandbox server" roundtrip "$SANDBOX"
        measure "1000 Instances in the sandbox" scale "$SANDBOX" 1000
        measure "5000 idle bots on one shared loop" idle "$SANDBOX" 5000
        measure "busy world, plain, a pass at every readiness" busy "$SANDBOX" 1000 30 plain
        measure "busy world, plain, a pass every 10 ms" busy "$SANDBOX" 1000 30 plain 10
        measure "busy world, TLS, a pass at every readiness" busy "$SANDBOX" 1000 30 tls
        measure "busy world, TLS, a pass every 10 ms" busy "$SANDBOX" 1000 30 tls 10
        [ -x "$KIVSWARM" ] && swarm_busy 1000 30
        log "Locust: a master and two workers, 1000 bots over 10 worlds"
        /usr/bin/python3 "$ROOT/bench/locust_run.py" "$SANDBOX" "$LIBRARY" 1000 10 60 \
            2>>"$OUT/locust.err" | grep -E '^(FIGURE|NOTE) ' >>"$FIGURES" || log "Locust run failed"
    else
        printf 'NOTE round trip and scale not measured: no sandbox server (%s)\n' "$SANDBOX" >>"$FIGURES"
    fi
    instructions dispatch
    instructions bare
    instructions copy
    send_instructions || log "send path under callgrind failed"
    awk -v d="$(value instructions.dispatch)" -v c="$(value instructions.copy)" \
        'BEGIN { if (c > 0) printf "FIGURE instructions.dispatch_vs_copy %.2f ratio\n", d / c }' >>"$FIGURES"
    printf 'NOTE load at end: %s\n' "$(uptime | sed 's/.*load average: //')" >>"$FIGURES"
    plot
    print_table
    printf '\nsuite ran in %d s; figures in %s\n' $((SECONDS - start)) "$FIGURES"
}

main
