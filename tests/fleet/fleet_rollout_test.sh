#!/usr/bin/env bash
# Runs the fleet playbooks with ansible-playbook against 21 simulated boxes
# (fleet_lib.sh), in a private network namespace. Three rollouts and a
# status report, in turn:
#   2.0 reaches every box wave by wave (box21 is on it already);
#   3.0 fails on box03 in the second wave: box03 is rolled back, later
#       waves are untouched;
#   3.1 with box02 down: box02 counts as failed and the rollout stops.
#
# Usage: fleet_rollout_test.sh SERVICE_BINARY FLEET_DIR
# (SKEIN_KEEP_TMP=1 keeps the boxes and the playbooks' output for a look.)
set -u
binary=$1 fleet=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../packaging/test_lib.sh"
. "$here/fleet_lib.sh"
need_commands ansible-core ansible-playbook
run_in_private_network "$@"

tmp=$(mktemp -d)
trap 'stop_fleet; rm -rf "$tmp"' EXIT
# Each update script takes half a second: enough for waves to show.
start_fleet "$binary" "$tmp" 21 0.5
printf '2.0' >"$(box_dir 21)/installation_details/version.info"
echo 3.0 >"$(box_dir 3)/fail.version"
export ANSIBLE_FORKS=10

rollout() {
    local begin=$SECONDS status
    ansible-playbook -i "$tmp/inventory.yml" "$fleet/rollout.yml" -e version="$1" \
        -e skein_poll_interval=1 -e skein_poll_timeout=30 >"$tmp/rollout-$1.log" 2>&1
    status=$?
    echo "rollout of $1: $((SECONDS - begin)) s, exit status $status"
    grep -E '^(fatal|ERROR)' "$tmp/rollout-$1.log" | cut -c1-240
    return $status
}

# The versions box I's update script ran with, in order.
runs() { awk '$1 == "start" { print $3 }' "$(box_dir "$1")/update.log" 2>/dev/null | paste -sd' '; }
# Box I's /version and /status.
state() { echo "$(box_get "$1" version)|$(box_get "$1" status)"; }

# ---- 2.0: every box, wave by wave ----

rollout 2.0
check "rollout of 2.0 succeeds" test $? -eq 0
for i in $(seq 20); do
    check "$(box_name "$i") ran the update to 2.0 once and is on it" \
        test "$(runs "$i")|$(state "$i")" = "2.0|Current version: 2.0|Update complete"
done
check "box21, on 2.0 already, is left alone" test ! -e "$(box_dir 21)/update.log"

# Waves of 1, 10% (2) and the rest of the 20 boxes to update, in inventory
# order: no box of a wave starts before every box of the one before ended.
times() { # times start|end FIRST LAST: the recorded times of those boxes
    local i
    for i in $(seq "$2" "$3"); do awk -v e="$1" '$1 == e { print $2 }' "$(box_dir "$i")/update.log"; done
}
before() { awk -v a="$(times end "$1" "$2" | sort -g | tail -1)" \
    -v b="$(times start "$3" "$4" | sort -g | head -1)" 'BEGIN { exit !(a < b) }'; }
check "wave 1 (box01) ended before wave 2 (box02-03) started" before 1 1 2 3
check "wave 2 ended before wave 3 (box04-20) started" before 2 3 4 20
check "three waves" test "$(grep -c '^PLAY \[Update the boxes' "$tmp/rollout-2.0.log")" -eq 3

# ---- 3.0: fails on box03 in wave 2 ----

rollout 3.0
check "rollout of 3.0 fails" test $? -ne 0
check "box01 and box02 are on 3.0" test "$(state 1)|$(state 2)" = \
    "Current version: 3.0|Update complete|Current version: 3.0|Update complete"
check "box03 ran 3.0 and was rolled back to 2.0" test "$(runs 3)" = "2.0 3.0 2.0"
check "box03 ends on 2.0, Update complete" test "$(state 3)" = "Current version: 2.0|Update complete"
untouched=0
for i in $(seq 4 21); do
    [ "$(box_get "$i" version)|$(runs "$i")" = "Current version: 2.0|$([ "$i" -lt 21 ] && echo 2.0)" ] &&
        untouched=$((untouched + 1))
done
check "the 18 boxes of wave 3 are untouched" test "$untouched" -eq 18
check "the failure names box03 and its rollback" \
    grep -q 'box03.*did not complete: Update failed; rolled back to 2.0' "$tmp/rollout-3.0.log"

# ---- 3.1: box02 is down ----

stop_box 2
rollout 3.1
check "rollout of 3.1 fails" test $? -ne 0
check "box03, box02's wave mate, is on 3.1" test "$(state 3)" = "Current version: 3.1|Update complete"
check "box04 was not updated" test "$(box_get 4 version)" = "Current version: 2.0"
check "the failure names box02, not rolled back" \
    grep -q 'box02.*Connection refused.*; not rolled back' "$tmp/rollout-3.1.log"

# ---- status.yml ----

ansible-playbook -i "$tmp/inventory.yml" "$fleet/status.yml" -e status_report="$tmp/report" \
    >"$tmp/status.log" 2>&1
check "status report runs" test $? -eq 0
{
    echo "box01 | http://127.0.0.2:8888 | Update complete | 3.1 | 3.0"
    echo "box02 | http://127.0.0.3:8888 | unreachable | - | -"
    echo "box03 | http://127.0.0.4:8888 | Update complete | 3.1 | 2.0"
    for i in $(seq 4 20); do
        echo "$(box_name "$i") | http://$(box_address "$i"):8888 | Update complete | 2.0 | 1.0"
    done
    echo "box21 | http://127.0.0.22:8888 | Waiting for command | 2.0 | -"
    echo
    echo "unreachable: 1"
    echo "Update complete: 19"
    echo "Waiting for command: 1"
} >"$tmp/expected"
check "status report names every box and counts the statuses" diff "$tmp/expected" "$tmp/report"

finish
