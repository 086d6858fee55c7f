#!/usr/bin/env bash
# Times the fleet playbooks against simulated boxes as an operator runs
# them: status.yml, then one rollout.yml with the default waves and polling
# (every 5 s), whose journal is then checked against every box's own files
# (bench/fleet_journal_check.py), then status.yml again to count the boxes
# on the version, and the same playbook shape with no HTTP work at all, for
# Ansible's own cost per host. Then, with MISBEHAVING boxes put behind
# misbehaving proxies (tests/fleet/misbehaving_box.py: replies of 50 MiB,
# one byte a second, silence after /update, an HTML page for /update),
# status.yml and a rollout to 3.0 again, with skein_unreachable=skip and
# skein_poll_timeout=60, and its journal checked. Each box is a service of
# its own on its own loopback address with an update script that takes
# SCRIPT_SECONDS (tests/fleet/fleet_lib.sh), in a private network
# namespace. Prints each run's time, exit status and peak memory (the
# largest controller process), the size of each wave and the machine's
# load. Not run in CI; the figures are in bench/RESULTS.md.
#
# Settings (environment): BOXES (100), SCRIPT_SECONDS (2), MISBEHAVING (10,
# 0 for none), and any ANSIBLE_* setting.
set -u
cd "$(dirname "$0")/.." || exit 1
BOXES=${BOXES:-100}
SCRIPT_SECONDS=${SCRIPT_SECONDS:-2}
MISBEHAVING=${MISBEHAVING:-10}
# shellcheck source=tests/packaging/test_lib.sh
. tests/packaging/test_lib.sh
# shellcheck source=tests/fleet/fleet_lib.sh
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
# and prints how long it took, its exit status, the peak memory of the
# largest process it ran (ansible-playbook or one of its workers) and the
# tasks that took longest, from Ansible's time-stamped log.
timed() {
    ANSIBLE_LOG_PATH=$tmp/$1.ansible.log python3 - "$@" <<'EOF'
import datetime, os, resource, subprocess, sys, time
name, command = sys.argv[1], sys.argv[2:]
begin, started = time.monotonic(), datetime.datetime.now()
with open("%s/%s.log" % (os.environ["tmp"], name), "w") as log:
    status = subprocess.call(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
print("%s: %.1f s, exit status %d, peak %.0f MiB" % (name, time.monotonic() - begin, status, peak))
# Each task's time: from its "TASK [" line to the next task, play or recap.
marks = [(started, "start")]
for line in open(os.environ["ANSIBLE_LOG_PATH"]):
    moment, _, text = line.partition(" p=")
    text = text.partition(" | ")[2]
    if text.startswith(("TASK [", "PLAY [", "PLAY RECAP")):
        marks.append((datetime.datetime.strptime(moment, "%Y-%m-%d %H:%M:%S,%f"), text.strip(" *\n")))
marks.append((datetime.datetime.now(), "end"))
spent = {}
for (moment, text), (following, _) in zip(marks, marks[1:]):
    spent[text] = spent.get(text, 0) + (following - moment).total_seconds()
print("  " + "; ".join("%s %.1f s" % item for item in sorted(spent.items(), key=lambda item: -item[1])[:5]))
sys.exit(status)
EOF
}
export tmp

# waves_and_counts REPORT: the sizes of the waves and the outcomes.
waves_and_counts() {
    python3 -c 'import json, sys
report = json.load(open(sys.argv[1]))
print("waves:", " + ".join(str(len(wave)) for wave in report["waves"]))
print("report:", ", ".join("%s %d" % count for count in report["counts"].items()))' "$1"
}

load() { echo "load average $1: $(cut -d' ' -f1-3 /proc/loadavg)"; }

echo "boxes: $BOXES, update script: $SCRIPT_SECONDS s"
load before
timed status.yml ansible-playbook -i "$tmp/inventory.yml" fleet/status.yml
timed rollout.yml ansible-playbook -i "$tmp/inventory.yml" fleet/rollout.yml -e version=2.0 \
    -e rollout_report="$tmp/report.json"
status=$?
load after
waves_and_counts "$tmp/report.json"
python3 bench/fleet_journal_check.py "$(echo "$tmp"/journal/*-2.0.jsonl)" "$tmp" || status=1
ansible-playbook -i "$tmp/inventory.yml" fleet/status.yml -e status_report="$tmp/after" >/dev/null 2>&1
updated=$(grep -c '| Update complete | 2.0 | 1.0$' "$tmp/after")
echo "boxes on 2.0 with Update complete: $updated"
[ "$updated" -eq "$BOXES" ] || status=1

# Ansible's own cost: status.yml's shape (one task for all the boxes in
# pre_tasks, then the end of the play) with no request sent.
cat >"$tmp/ansible-only.yml" <<'EOF'
- hosts: boxes
  connection: local
  gather_facts: false
  pre_tasks:
    - ansible.builtin.debug:
        msg: "{{ ansible_play_hosts | length }} boxes"
      run_once: true
    - ansible.builtin.meta: end_play
EOF
timed ansible-only ansible-playbook -i "$tmp/inventory.yml" "$tmp/ansible-only.yml"

[ "$MISBEHAVING" -gt 0 ] || exit "$status"
# The misbehaving boxes, spread over the last wave.
modes=(flood flood trickle trickle flood-update flood-update trickle-update silent-update silent-update
    html-update)
for k in $(seq "$MISBEHAVING"); do
    misbehave "${modes[(k - 1) % ${#modes[@]}]}" $((BOXES * (k + 1) / (MISBEHAVING + 2)))
done
start_misbehaving || exit 1
echo "misbehaving: $MISBEHAVING boxes (${fleet_misbehaving[*]})"
load before
timed status.yml-misbehaving ansible-playbook -i "$tmp/inventory.yml" fleet/status.yml \
    -e status_report="$tmp/misbehaving-status"
grep -E '\| (no answer|foreign reply) \|' "$tmp/misbehaving-status" | cut -d'|' -f1,3 | paste -sd';'
timed rollout.yml-misbehaving ansible-playbook -i "$tmp/inventory.yml" fleet/rollout.yml -e version=3.0 \
    -e skein_unreachable=skip -e skein_poll_timeout=60 -e rollout_report="$tmp/misbehaving.json"
load after
waves_and_counts "$tmp/misbehaving.json"
python3 bench/fleet_journal_check.py "$(echo "$tmp"/journal/*-3.0.jsonl)" "$tmp" || status=1
exit "$status"
