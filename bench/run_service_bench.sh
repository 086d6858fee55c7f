#!/usr/bin/env bash
# Builds in Release and measures the service against its targets:
#   - GET /status throughput at concurrency 1 and 4, as a ratio to the
#     design's floor: a loop that makes only the system calls one exchange
#     needs (accept, read, status file, one flushed log line, reply, close)
#     (>= 0.97); and, for reference, to a bare accept/read/write/close loop;
#   - peak RSS (<= 4 MiB), RSS growth over 50,000 requests (<= 256 KiB) and
#     open descriptors before and after (no growth);
#   - a log line through the facade against spdlog used directly (<= 1.1x),
#     and the cost of a statement below the threshold.
# Contenders alternate round by round and only ratios are compared, so the
# figures hold on a small shared machine. Prints a table; exits 1 when a
# target is missed or a reply was wrong.
#
# Everything that binds port 8888 runs in a private network namespace. The
# service runs in a throw-away box with stub scripts and stub `docker` and
# `reboot` first on PATH.
#
# Settings (environment): ROUNDS (15), CONNECTIONS per round (2000),
# GROWTH_REQUESTS (50000), LOG_LINES per round (20000), LOG_ROUNDS (30).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stub-commands.sh

ROUNDS=${ROUNDS:-15}
CONNECTIONS=${CONNECTIONS:-2000}
GROWTH_REQUESTS=${GROWTH_REQUESTS:-50000}
LOG_LINES=${LOG_LINES:-20000}
LOG_ROUNDS=${LOG_ROUNDS:-30}
BARE_PORT=8889
FLOOR_PORT=8890
build="build-bench"

# ---- Build (before entering the namespace: it has no network for apt) ----

if [ -z "${SKEIN_BENCH_NETNS:-}" ]; then
    ./scripts/install-deps.sh
    mkdir -p "$build"
    if ! {
        cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
            -DSKEIN_BUILD_BENCH=ON &&
            cmake --build "$build" -j2 --target skein_edge_updater http_load_client \
                http_bare_server http_floor_server logging_bench
    } > "$build/bench-build.log" 2>&1; then
        cat "$build/bench-build.log" >&2
        echo "bench: the Release build failed" >&2
        exit 1
    fi
fi

# ---- Private network namespace ----

if [ -z "${SKEIN_BENCH_NETNS:-}" ]; then
    if unshare -n true 2> /dev/null; then
        exec unshare -n env SKEIN_BENCH_NETNS=private "$0" "$@"
    fi
    echo "bench: cannot make a private network namespace; running in the shared one" >&2
    if ss -Hltn 'sport = :8888' 2> /dev/null | grep -q .; then
        echo "bench: port 8888 is taken by another program; refusing to run" >&2
        exit 1
    fi
    export SKEIN_BENCH_NETNS=shared
fi
[ "$SKEIN_BENCH_NETNS" = private ] && ip link set lo up

client=$PWD/$build/bench/http_load_client

# Client and servers on separate CPUs when there are two: steadier figures.
if [ "$(nproc)" -ge 2 ] && command -v taskset > /dev/null; then
    on_server_cpu=(taskset -c 0)
    on_client_cpu=(taskset -c 1)
else
    on_server_cpu=()
    on_client_cpu=()
fi

# ---- Helpers ----

# field NAME LINE: the value of NAME=value in a line of key=value pairs.
field() { tr ' ' '\n' <<< "$2" | sed -n "s/^$1=//p"; }

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

quotient() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }'; }

status_kib() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }

open_fds() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 | wc -l; }

# Nanoseconds that the process's main thread has run on a CPU.
cpu_ns() { awk '{ print $1 }' "/proc/$1/schedstat"; }

# row MEASURE A B C [OK]: one line of the table with three columns of
# figures; OK (1 or 0) adds a verdict and counts a miss.
failures=0
row() {
    local verdict=""
    if [ $# -ge 5 ]; then
        verdict=PASS
        [ "$5" -eq 1 ] || { verdict=FAIL; failures=$((failures + 1)); }
    fi
    printf '%-50s %15s %15s %15s %6s\n' "$1" "$2" "$3" "$4" "$verdict"
}

# load PORT CONNECTIONS CONCURRENCY: one client run; its line on stdout. A
# run with errors is noted in client_errors (it runs in a subshell).
load() {
    local line
    line=$("${on_client_cpu[@]}" "$client" -p "$1" -n "$2" -c "$3" -t 5 -l 60) ||
        echo "port $1: $line" >> "$work/client_errors"
    echo "$line"
}

# ---- Sandbox box ----

work=$(mktemp -d /tmp/skein-bench.XXXXXX)
server_pids=()
cleanup() {
    for pid in "${server_pids[@]}"; do
        kill "$pid" 2> /dev/null || true
        wait "$pid" 2> /dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

box=$work/box
mkdir -p "$box"
cp "$build/skein_edge_updater" "$box/skein_edge_updater"
printf '#!/bin/sh\nexit 0\n' > "$box/Update_Skein_Edge.sh"
printf '#!/bin/sh\nexit 0\n' > "$box/start_containers.sh"
use_stub_commands "$work/bin" bench

# ---- Servers ----

(cd "$work" && exec "${on_server_cpu[@]}" "$box/skein_edge_updater" > stdout.txt 2> stderr.txt) &
service_pid=$!
server_pids+=("$service_pid")
"${on_server_cpu[@]}" "$build/bench/http_bare_server" "$BARE_PORT" 280 &
bare_pid=$!
server_pids+=("$bare_pid")
printf 'Waiting for command' > "$work/floor_status.info"
"${on_server_cpu[@]}" "$build/bench/http_floor_server" "$FLOOR_PORT" 280 \
    "$work/floor_status.info" "$work/floor.log" &
floor_pid=$!
server_pids+=("$floor_pid")
# Should this script be killed outright, the service still ends (the bare
# and floor servers end by themselves).
(
    trap 'kill "$nap" 2> /dev/null; exit 0' TERM
    sleep 290 &
    nap=$!
    wait "$nap"
    [ "$(readlink "/proc/$service_pid/exe")" = "$box/skein_edge_updater" ] && kill "$service_pid"
) > /dev/null 2>&1 &
server_pids+=("$!")

# Serving, and the pid watched for memory and descriptors is the service
# itself (the subshell and taskset exec into it).
serving=0
for _ in $(seq 100); do
    kill -0 "$service_pid" 2> /dev/null || break
    if [ "$(readlink "/proc/$service_pid/exe")" = "$box/skein_edge_updater" ] &&
        "$client" -n 1 -c 1 -t 1 -l 2 > /dev/null 2>&1 &&
        "$client" -p "$BARE_PORT" -n 1 -c 1 -t 1 -l 2 > /dev/null 2>&1 &&
        "$client" -p "$FLOOR_PORT" -n 1 -c 1 -t 1 -l 2 > /dev/null 2>&1; then
        serving=1
        break
    fi
    sleep 0.1
done
if [ "$serving" -ne 1 ]; then
    echo "bench: the servers did not come up" >&2
    cat "$work/stderr.txt" >&2 || true
    exit 1
fi

load 8888 2000 4 > /dev/null
load "$BARE_PORT" 2000 4 > /dev/null
load "$FLOOR_PORT" 2000 4 > /dev/null

# ---- Memory and descriptors over GROWTH_REQUESTS requests ----

fds_before=$(open_fds "$service_pid")
rss_before=$(status_kib "$service_pid" VmRSS)
load 8888 "$GROWTH_REQUESTS" 4 > /dev/null
rss_after=$(status_kib "$service_pid" VmRSS)
fds_after=$(open_fds "$service_pid")

# ---- Throughput, alternating contenders ----

# Server CPU time per request shows the service's own cost even when the
# client, not the server, limits the rate. The order turns round by round:
# the service and the floor swap places, and each contender is sometimes
# first and sometimes last.
declare -A cps p50 p99 cpu_us ratios bare_ratios
orders=("floor service bare" "service floor bare" "bare floor service" "bare service floor")
for concurrency in 1 4; do
    for round in $(seq "$ROUNDS"); do
        declare -A round_cps=()
        for who in ${orders[$((round % 4))]}; do
            case $who in
                service) port=8888 pid=$service_pid ;;
                floor) port=$FLOOR_PORT pid=$floor_pid ;;
                bare) port=$BARE_PORT pid=$bare_pid ;;
            esac
            cpu_before=$(cpu_ns "$pid")
            line=$(load "$port" "$CONNECTIONS" "$concurrency")
            cpu_us[$who$concurrency]+="$(awk -v a="$cpu_before" -v b="$(cpu_ns "$pid")" \
                -v n="$(field ok "$line")" 'BEGIN { printf "%.1f", (n > 0 ? (b - a) / 1000 / n : 0) }') "
            round_cps[$who]=$(field cps "$line")
            cps[$who$concurrency]+="${round_cps[$who]} "
            p50[$who$concurrency]+="$(field p50_us "$line") "
            p99[$who$concurrency]+="$(field p99_us "$line") "
        done
        ratios[$concurrency]+="$(quotient "${round_cps[service]}" "${round_cps[floor]}") "
        bare_ratios[$concurrency]+="$(quotient "${round_cps[service]}" "${round_cps[bare]}") "
    done
done
peak_kib=$(status_kib "$service_pid" VmHWM)
kill -0 "$service_pid" || { echo "bench: the service ended during the run" >&2; exit 1; }

# ---- Logging ----

log_output=$("${on_client_cpu[@]}" timeout 120 "$build/bench/logging_bench" "$LOG_LINES" \
    "$LOG_ROUNDS")
log_line=$(grep '^lines_per_round=' <<< "$log_output")
disabled_line=$(grep '^disabled_iterations=' <<< "$log_output")

# ---- Table ----

of() { tr ' ' '\n' <<< "${1% }" | median; }
at_least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a >= b) }'; }

echo
echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "Network namespace: $SKEIN_BENCH_NETNS; medians of $ROUNDS rounds x $CONNECTIONS connections"
echo
row "Measure" "service" "floor" "bare loop"
for concurrency in 1 4; do
    ratio=$(of "${ratios[$concurrency]}")
    row "conn/s, concurrency $concurrency" "$(of "${cps[service$concurrency]}")" \
        "$(of "${cps[floor$concurrency]}")" "$(of "${cps[bare$concurrency]}")"
    row "p50 / p99 latency us, concurrency $concurrency" \
        "$(of "${p50[service$concurrency]}") / $(of "${p99[service$concurrency]}")" \
        "$(of "${p50[floor$concurrency]}") / $(of "${p99[floor$concurrency]}")" \
        "$(of "${p50[bare$concurrency]}") / $(of "${p99[bare$concurrency]}")"
    row "server CPU us per request, concurrency $concurrency" \
        "$(of "${cpu_us[service$concurrency]}")" "$(of "${cpu_us[floor$concurrency]}")" \
        "$(of "${cpu_us[bare$concurrency]}")"
    row "ratio to the floor, concurrency $concurrency (>= 0.97)" "$ratio" "" "" \
        "$(at_least "$ratio" 0.97)"
    echo "    per-round ratios: ${ratios[$concurrency]}"
    row "ratio to the bare loop, concurrency $concurrency" \
        "$(of "${bare_ratios[$concurrency]}")" "" ""
done
growth_kib=$((rss_after - rss_before))
row "peak RSS KiB (<= 4096)" "$peak_kib" "" "" "$((peak_kib <= 4096))"
row "RSS KiB before -> after $GROWTH_REQUESTS requests" "$rss_before -> $rss_after" "" ""
row "RSS growth KiB (<= 256)" "$growth_kib" "" "" "$((growth_kib <= 256))"
row "open descriptors before -> after" "$fds_before -> $fds_after" "" "" \
    "$((fds_after <= fds_before))"
client_errors=0
[ -f "$work/client_errors" ] && client_errors=$(wc -l < "$work/client_errors")
row "client runs with errors or wrong replies" "$client_errors" "" "" \
    "$((client_errors == 0))"
echo
row "Measure" "facade" "spdlog direct" "(pid once)"
row "ns per enabled log line (flushed)" "$(field facade_ns_per_line "$log_line")" \
    "$(field spdlog_ns_per_line "$log_line")" "$(field spdlog_pid_once_ns_per_line "$log_line")"
log_ratio=$(field ratio "$log_line")
row "log line ratio to spdlog direct (<= 1.1)" "$log_ratio" "" "" "$(at_least 1.1 "$log_ratio")"
row "log line ratio to spdlog, pid taken once" "$(field ratio_pid_once "$log_line")" "" ""
row "  the same in thread CPU time (direct / pid once)" "$(field cpu_ratio "$log_line")" \
    "$(field cpu_ratio_pid_once "$log_line")" ""
row "ns per disabled statement (empty loop)" \
    "$(field disabled_ns_per_statement "$disabled_line")" \
    "($(field empty_loop_ns "$disabled_line"))" ""
[ -f "$work/client_errors" ] && cat "$work/client_errors" >&2
[ "$failures" -eq 0 ]
