#!/usr/bin/env bash
# What accepted updates cost the box's flash: the bytes written to, and the
# syncs of, the pending-updates file over the whole life of N updates that
# wait behind a running one (accepted, started, ended), and the service's
# threads while they wait. Flat cost per update is the target: a box's
# flash must not wear faster as the queue grows.
#
#   ./bench/run_update_queue_bench.sh            N = 16 (the default limit), 100, 300
#   COUNTS="16" VERSION_LENGTH=100 ./bench/run_update_queue_bench.sh
#
# Runs the Release service (build-bench/) under strace in a private network
# namespace, in a throw-away box whose update script waits until released,
# with stub `docker` and `reboot` first on PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stub-commands.sh

COUNTS=${COUNTS:-16 100 300}
VERSION_LENGTH=${VERSION_LENGTH:-1900}
build="build-bench"

if [ -z "${SKEIN_BENCH_NETNS:-}" ]; then
    ./scripts/install-deps.sh
    command -v strace > /dev/null || {
        echo "bench: strace is needed (apt-get install strace)" >&2
        exit 1
    }
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF > /dev/null
    cmake --build "$build" -j2 --target skein_edge_updater > /dev/null
    exec unshare -n env SKEIN_BENCH_NETNS=private "$0" "$@"
fi
ip link set lo up

work=$(mktemp -d)
service_pid=
stop_service() {
    if [ -n "$service_pid" ] && [ "$(readlink "/proc/$service_pid/exe")" = "$work/box/skein_edge_updater" ]; then
        kill "$service_pid"
    fi
    service_pid=
}
trap 'stop_service; wait; rm -rf "$work"' EXIT
use_stub_commands "$work/bin" bench

version=$(head -c "$VERSION_LENGTH" /dev/zero | tr '\0' 'v')
printf '%-8s %-14s %-16s %-14s %-10s\n' waiting "bytes written" "per update" "syncs" threads
for count in $COUNTS; do
    rm -rf "$work/box"
    mkdir -p "$work/box"
    cp "$build/skein_edge_updater" "$work/box/"
    printf 'while [ ! -f go ]; do sleep 0.05; done\n' > "$work/box/Update_Skein_Edge.sh"
    printf 'exit 0\n' > "$work/box/start_containers.sh"
    (cd "$work" && SKEIN_MAX_WAITING_UPDATES=1000 exec strace -f -y -qq -o trace.txt \
        -e trace=write,pwrite64,fsync,fdatasync "$work/box/skein_edge_updater" > /dev/null 2>&1) &
    for _ in $(seq 100); do
        service_pid=$(pgrep -f "^$work/box/skein_edge_updater" || true)
        [ -n "$service_pid" ] && curl -sf http://127.0.0.1:8888/status > /dev/null && break
        sleep 0.05
    done
    curl -sf "http://127.0.0.1:8888/update?version=running" > /dev/null
    for i in $(seq "$count"); do
        curl -sf "http://127.0.0.1:8888/update?version=$i$version" > /dev/null
    done
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$service_pid/status")
    touch "$work/box/go"
    for _ in $(seq 600); do
        [ -e "$work/box/.pending_updates" ] || break
        sleep 0.1
    done
    stop_service
    wait
    updates=$((count + 1))
    bytes=$(awk '/^[0-9]+ +(write|pwrite64)\([0-9]+<[^>]*\.pending_updates/ { n += $NF } END { print n + 0 }' "$work/trace.txt")
    syncs=$(grep -cE '(fsync|fdatasync)\([0-9]+<[^>]*(\.pending_updates|/box>)' "$work/trace.txt" || true)
    printf '%-8s %-14s %-16s %-14s %-10s\n' "$count" "$bytes" "$((bytes / updates))" "$syncs" "$threads"
done
