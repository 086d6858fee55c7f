#!/usr/bin/env bash
# Times one rollout of the fleet playbooks to simulated boxes, as an
# operator runs it: default waves, default polling (every 5 s), Ansible's
# default 5 forks. Each box is a copy of the service on its own loopback
# address with an update script that takes SCRIPT_SECONDS (tests/fleet/
# fleet_lib.sh), in a private network namespace. Prints the time and the
# size of each wave. Not run in CI; the figures are in bench/RESULTS.md.
#
# Settings (environment): BOXES (100), SCRIPT_SECONDS (2), and any
# ANSIBLE_* setting, such as ANSIBLE_FORKS.
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

begin=$(date +%s.%N)
ansible-playbook -i "$tmp/inventory.yml" fleet/rollout.yml -e version=2.0 >"$tmp/rollout.log" 2>&1
status=$?
end=$(date +%s.%N)

updated=0
for i in $(seq "$BOXES"); do
    [ "$(box_get "$i" version)|$(box_get "$i" status)" = "Current version: 2.0|Update complete" ] &&
        updated=$((updated + 1))
done
# The boxes that started their update in each wave, from the playbook's
# output.
waves=$(awk '/^PLAY \[Update the boxes/ { wave++ } /^TASK \[Start the update\]/ { on = 1; next }
             /^TASK/ { on = 0 } on && /^ok:/ { size[wave]++ }
             END { for (w = 1; w <= wave; w++) printf "%s%d", (w > 1 ? " + " : ""), size[w] }' \
    "$tmp/rollout.log")
echo "boxes: $BOXES, update script: $SCRIPT_SECONDS s, forks: ${ANSIBLE_FORKS:-5}"
echo "waves: $waves"
echo "rollout: $(awk -v a="$begin" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s, exit status $status"
echo "boxes on 2.0 with Update complete: $updated"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
[ "$status" -eq 0 ] && [ "$updated" -eq "$BOXES" ]
