#!/usr/bin/env bash
# Times the fleet playbooks against simulated boxes as an operator runs
# them: status.yml, then one rollout.yml with the default waves and polling
# (every 5 s), then status.yml again to count the boxes on the version.
# Each box is a service of its own on its own loopback address with an
# update script that takes SCRIPT_SECONDS (tests/fleet/fleet_lib.sh), in a
# private network namespace. Prints the times, the size of each wave and
# the machine's load. Not run in CI; the figures are in bench/RESULTS.md.
#
# Settings (environment): BOXES (100), SCRIPT_SECONDS (2), and any
# ANSIBLE_* setting.
set -u
cd "$(dirname "$0")/.." || exit 1
BOXES=${BOXES:-100}
SCRIPT_SECONDS=${SCRIPT_SECONDS:-2}
. tests/packaging/test_lib.sh
. tests/fleet/fleet_lib.sh

if [ -z "${SKEIN_PRIVATE_NETWORK-}" ]; then
    ./scripts/install-deps.sh
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
        cmake --build build -j2 --target skein_edge_updater >/dev/null || exit 1
fi
run_in_private_network "$@"

tmp=$(mktemp -d)
trap 'stop_fleet; rm -rf "$tmp"' EXIT
start_fleet "$PWD/build/skein_edge_updater" "$tmp" "$BOXES" "$SCRIPT_SECONDS"

# timed NAME COMMAND...: runs the command with its output in $tmp/NAME.log
# and prints how long it took and its exit status.
timed() {
    local name=$1 begin end status
    shift
    begin=$(date +%s.%N)
    "$@" >"$tmp/$name.log" 2>&1
    status=$?
    end=$(date +%s.%N)
    echo "$name: $(awk -v a="$begin" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s, exit status $status"
    return $status
}

echo "boxes: $BOXES, update script: $SCRIPT_SECONDS s"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
timed status.yml ansible-playbook -i "$tmp/inventory.yml" fleet/status.yml
timed rollout.yml ansible-playbook -i "$tmp/inventory.yml" fleet/rollout.yml -e version=2.0 \
    -e rollout_report="$tmp/report.json"
status=$?
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 -c 'import json, sys
report = json.load(open(sys.argv[1]))
print("waves:", " + ".join(str(len(wave)) for wave in report["waves"]))
print("report:", ", ".join("%s %d" % count for count in report["counts"].items()))' "$tmp/report.json"
ansible-playbook -i "$tmp/inventory.yml" fleet/status.yml -e status_report="$tmp/after" >/dev/null 2>&1
updated=$(grep -c '| Update complete | 2.0 | 1.0$' "$tmp/after")
echo "boxes on 2.0 with Update complete: $updated"
[ "$status" -eq 0 ] && [ "$updated" -eq "$BOXES" ]
