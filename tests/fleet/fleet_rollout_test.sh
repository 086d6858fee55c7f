#!/usr/bin/env bash
# Runs the fleet playbooks with ansible-playbook against 21 simulated boxes
# (fleet_lib.sh), in a private network namespace. In turn:
#   --check for 2.0 sends nothing and shows the waves;
#   2.0 reaches every box wave by wave, box21 too: it names 2.0 but its
#       update never completed;
#   3.0 fails on box03 in the second wave: box03 is rolled back, later
#       waves are untouched;
#   3.1 with box02 down, skipped, and half of a wave allowed to fail:
#       box03 fails again and the waves go on;
#   the status report;
#   3.2 with box02 down, counted as failed, and box03's update hanging:
#       the wave's verdict comes after one time limit, and the rollout stops;
#   3.3 with the stop file in place: no wave starts;
#   4.0 with a box that floods its answer to /update, one that answers it
#       late and one that trickles every answer: the first two are asked
#       and judged updated, the third is skipped, and status.yml is not
#       held up by it;
#   4.1 killed with the whole controller in its last wave, while a second
#       rollout is refused by the lock, then resumed from its journal:
#       every box runs 4.1 once;
#   4.1 again after a box's service restarted: the journal keeps it on 4.1;
#   4.2 with the controller's certificate missing: nothing is sent.
#
# Usage: fleet_rollout_test.sh SERVICE_BINARY FLEET_DIR
# (SKEIN_KEEP_TMP=1 keeps the boxes and the playbooks' output for a look.)
set -u
binary=$1 fleet=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/packaging/test_lib.sh
. "$here/../packaging/test_lib.sh"
# shellcheck source=tests/fleet/fleet_lib.sh
. "$here/fleet_lib.sh"
need_commands ansible-core ansible-playbook
run_in_private_network "$@"

tmp=$(mktemp -d)
trap 'stop_fleet; [ -n "${SKEIN_KEEP_TMP-}" ] || rm -rf "$tmp"' EXIT
# Each update script takes half a second: enough for waves to show.
start_fleet "$binary" "$tmp" 21 0.5
# box21 was restarted in the middle of an update to 2.0.
printf '2.0' >"$(box_dir 21)/installation_details/version.info"
printf '3.0\n3.1\n' >"$(box_dir 3)/fail.version"
echo 3.2 >"$(box_dir 3)/hang.version"

# rollout VERSION [ARGS...]: runs rollout.yml with its output and JSON
# report in $tmp/rollout-VERSION.{log,json}; the exit status is the
# playbook's.
rollout() {
    local version=$1 begin=$SECONDS status
    shift
    ansible-playbook -i "$tmp/inventory.yml" "$fleet/rollout.yml" -e version="$version" \
        -e skein_poll_interval=1 -e skein_poll_timeout=30 -e skein_stop_file="$tmp/stop" \
        -e rollout_report="$tmp/rollout-$version.json" "$@" >"$tmp/rollout-$version.log" 2>&1
    status=$?
    echo "rollout of $version: $((SECONDS - begin)) s, exit status $status"
    grep -E '^(fatal|ERROR)' "$tmp/rollout-$version.log" | cut -c1-240
    return $status
}

# The versions box I's update script ran with, in order.
runs() { awk '$1 == "start" { print $3 }' "$(box_dir "$1")/update.log" 2>/dev/null | paste -sd' '; }
# Box I's /version and /status.
state() { echo "$(box_get "$1" version)|$(box_get "$1" status)"; }
# outcomes VERSION: "box outcome" for every box of that rollout's JSON
# report, then the counts.
outcomes() {
    python3 -c 'import json, sys
report = json.load(open(sys.argv[1]))
for box in report["boxes"]: print(box["box"], box["outcome"])
print(" ".join("%s=%d" % count for count in report["counts"].items()))' "$tmp/rollout-$1.json"
}
counts() { outcomes "$1" | tail -1; }
# The latest journal of a rollout to VERSION.
journal_of() {
    local journals=("$tmp"/journal/*-"$1".jsonl)
    echo "${journals[-1]}"
}

# ---- --check for 2.0: nothing is sent ----

begin=$SECONDS
rollout 2.0 --check
check "check mode exits with status 0" test $? -eq 0
check "check mode takes a few seconds ($((SECONDS - begin)) s)" test $((SECONDS - begin)) -lt 30
check_equal "check mode shows each wave's boxes" "wave 1 would update (1): box01
wave 2 would update (2): box02, box03
wave 3 would update (18): $(printf 'box%02d, ' $(seq 4 20))box21" "$(grep '^wave ' "$tmp/rollout-2.0.log")"
check "check mode sends no update" test -z "$(cat "$tmp"/box*/update.log 2>/dev/null)"

# ---- 2.0: every box, wave by wave ----

rollout 2.0
check "rollout of 2.0 succeeds" test $? -eq 0
for i in $(seq 21); do
    check "$(box_name "$i") ran the update to 2.0 once and is on it" \
        test "$(runs "$i")|$(state "$i")" = "2.0|Current version: 2.0|Update complete"
done
check "the report counts 21 boxes updated" test "$(counts 2.0)" = \
    "updated=21 rolled back=0 failed=0 skipped=0 untouched=0"

# Waves of 1, 10% (2) and the rest of the 21 boxes to update, in inventory
# order: no box of a wave starts before every box of the one before ended.
times() { # times start|end FIRST LAST: the recorded times of those boxes
    local i
    for i in $(seq "$2" "$3"); do awk -v e="$1" '$1 == e { print $2 }' "$(box_dir "$i")/update.log"; done
}
before() { awk -v a="$(times end "$1" "$2" | sort -g | tail -1)" \
    -v b="$(times start "$3" "$4" | sort -g | head -1)" 'BEGIN { exit !(a < b) }'; }
check "wave 1 (box01) ended before wave 2 (box02-03) started" before 1 1 2 3
check "wave 2 ended before wave 3 (box04-21) started" before 2 3 4 21
check "three waves" test "$(grep -c '^PLAY \[Update the boxes' "$tmp/rollout-2.0.log")" -eq 3

# ---- 3.0: fails on box03 in wave 2 ----

rollout 3.0
check "rollout of 3.0 fails" test $? -ne 0
check "box01 and box02 are on 3.0" test "$(state 1)|$(state 2)" = \
    "Current version: 3.0|Update complete|Current version: 3.0|Update complete"
check "box03 ran 3.0 and was rolled back to 2.0" test "$(runs 3)" = "2.0 3.0 2.0"
check "box03 ends on 2.0, Update complete" test "$(state 3)" = "Current version: 2.0|Update complete"
check "the boxes of wave 3 are untouched" test \
    "$(awk '$1 == "start" { print $3 }' "$tmp"/box{04..21}/update.log | sort -u)" = 2.0
check "the failure names box03 and its rollback" \
    grep -q 'box03.*update to 3.0 did not complete: Update failed; rolled back to 2.0' "$tmp/rollout-3.0.log"
check "the summary says where the rollout stopped" \
    grep -qx 'Rollout of 3.0 stopped after wave 2 of 3, which had failed boxes' "$tmp/rollout-3.0.log"
check "the report has box03 rolled back and 18 boxes untouched" test \
    "$(outcomes 3.0 | sed -n 3p)|$(counts 3.0)" = \
    "box03 rolled back|updated=2 rolled back=1 failed=0 skipped=0 untouched=18"

# ---- 3.1: box02 down and skipped; half of a wave may fail ----

stop_box 2
rollout 3.1 -e skein_unreachable=skip -e skein_max_fail_percentage=50
check "rollout of 3.1 ends with a failed box" test $? -eq 2
check "box02 is reported as unreachable and skipped" \
    grep -q '^  box02: unreachable: .*Connection refused' "$tmp/rollout-3.1.log"
check "box03, half of wave 2, was rolled back" test "$(state 3)" = "Current version: 2.0|Update complete"
check "the waves went on to box21" test "$(state 21)" = "Current version: 3.1|Update complete"
check "the report counts the skipped and the rolled back box" test "$(counts 3.1)" = \
    "updated=19 rolled back=1 failed=0 skipped=1 untouched=0"

# ---- status.yml ----

ansible-playbook -i "$tmp/inventory.yml" "$fleet/status.yml" -e status_report="$tmp/report" \
    >"$tmp/status.log" 2>&1
check "status report runs" test $? -eq 0
{
    echo "box01 | http://127.0.0.2:8888 | Update complete | 3.1 | 3.0"
    echo "box02 | http://127.0.0.3:8888 | unreachable | - | -"
    echo "box03 | http://127.0.0.4:8888 | Update complete | 2.0 | 2.0"
    for i in $(seq 4 21); do
        echo "$(box_name "$i") | http://$(box_address "$i"):8888 | Update complete | 3.1 | 2.0"
    done
    printf '\nunreachable: 1\nUpdate complete: 20\n\n'
    printf 'version -: 1\nversion 2.0: 1\nversion 3.1: 19\n\n'
    echo "box02: unreachable: Connection refused"
} >"$tmp/expected"
check "status report names every box and counts the statuses and versions" \
    diff "$tmp/expected" "$tmp/report"
check "status report shows no line per box" test "$(grep -c '^ok: \|^skipping: ' "$tmp/status.log")" -le 2

# ---- 3.2: box02 down and failed, box03 hangs ----

begin=$SECONDS
rollout 3.2 -e skein_poll_timeout=2
check "rollout of 3.2 fails" test $? -ne 0
check "the verdict came after one time limit ($((SECONDS - begin)) s)" test $((SECONDS - begin)) -lt 20
check "box02 is told unreachable" \
    grep -q 'box02.*not updated: unreachable: .*Connection refused' "$tmp/rollout-3.2.log"
check "box03's update is still running, its rollback queued" \
    grep -q 'box03.*update still running after 2 s; rollback queued behind it' "$tmp/rollout-3.2.log"
check "box04 was not updated" test "$(box_get 4 version)" = "Current version: 3.1"

# ---- 3.3 with the stop file ----

touch "$tmp/stop"
rollout 3.3
check "a stopped rollout exits with status 0" test $? -eq 0
check "the summary names the stop file" \
    grep -qx "Rollout of 3.3 stopped before wave 1 of 3: $tmp/stop exists" "$tmp/rollout-3.3.log"
check "no box was updated" test "$(counts 3.3)" = \
    "updated=0 rolled back=0 failed=0 skipped=0 untouched=21"

# ---- 4.0: a box floods, one answers late, one trickles ----

rm "$tmp/stop"
start_box 2
wait_for_boxes 2
misbehave flood-update 5
misbehave late-update 7
misbehave trickle 6
LATE_SECONDS=4 check "the misbehaving boxes listen" start_misbehaving
begin=$SECONDS
ansible-playbook -i "$tmp/inventory.yml" "$fleet/status.yml" -e status_report="$tmp/report" \
    -e skein_request_timeout=2 >"$tmp/status.log" 2>&1
check "status.yml gives the trickling box its time limit alone ($((SECONDS - begin)) s)" \
    test $((SECONDS - begin)) -lt 15
check "the trickling box shows no answer" grep -qx "box06: no answer: no whole reply within 2 s" "$tmp/report"
rollout 4.0 -e skein_unreachable=skip -e skein_request_timeout=2
check "rollout of 4.0 succeeds" test $? -eq 0
check "the flooding and the late box were asked, and updated once" test \
    "$(runs 5 | grep -o 4.0)|$(runs 7 | grep -o 4.0)|$(outcomes 4.0 | grep -E '^box0[57] ' | paste -sd' ')" = \
    "4.0|4.0|box05 updated box07 updated"
check "the trickling box was skipped, never sent /update" test \
    "$(outcomes 4.0 | grep '^box06 ')|$(runs 6 | grep -c 4.0)" = "box06 skipped|0"
journal=$(journal_of 4.0)
check "the journal has what box07's late answer hid" \
    grep -q '"box": "box07".*"result": "names 4.0, Update .*: took the update"' "$journal"

# ---- 4.1: the controller killed in its last wave, then resumed ----

for i in $(seq 21); do echo 4.1 >"$(box_dir "$i")/hang.version"; done
setsid ansible-playbook -i "$tmp/inventory.yml" "$fleet/rollout.yml" -e version=4.1 -e skein_poll_interval=1 \
    -e skein_unreachable=skip -e skein_request_timeout=2 >"$tmp/rollout-4.1-killed.log" 2>&1 &
controller=$!
# until_started I: until box I's update script to 4.1 has started (30 s at most).
until_started() {
    for _ in $(seq 300); do
        grep -qs 'start .* 4.1' "$(box_dir "$1")/update.log" && return
        sleep 0.1
    done
}
until_started 1
rollout 4.2 -e skein_unreachable=skip
check "a second rollout is refused while one runs" test $? -ne 0
check "it names the one that runs" grep -q "another rollout runs against this inventory" "$tmp/rollout-4.2.log"
until_started 21
kill -KILL -- -"$controller"
wait "$controller" 2>/dev/null
check "the last wave's updates were running when the controller was killed" test \
    "$(grep -c '^start .* 4.1' "$(box_dir 21)/update.log")|$(grep -c '^end .* 4.1' "$(box_dir 21)/update.log")" = "1|0"
journal=$(journal_of 4.1)
started=$(grep -l '^start .* 4.1' "$tmp"/box*/update.log | wc -l)
check_equal "the journal has every update that went out ($started)" "$started" \
    "$(grep -c '"event": "sending", "box": "box[0-9]*", .*"request": "/update?version=4.1"' "$journal")"
rollout 4.1 -e skein_resume="$journal" -e skein_unreachable=skip -e skein_request_timeout=2
check "the resumed rollout succeeds" test $? -eq 0
for i in $(seq 21); do echo >"$(box_dir "$i")/hang.version"; done
check "every box but box06 ran 4.1 once" test "$(for i in $(seq 21); do runs "$i" | grep -o 4.1 | wc -l; done |
    paste -sd' ')" = "1 1 1 1 1 0 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1"
check "the report tells the whole rollout" test "$(counts 4.1)" = \
    "updated=20 rolled back=0 failed=0 skipped=1 untouched=0"

# ---- 4.1 again, after box04's service restarted ----

stop_box 4
start_box 4
wait_for_boxes 4
check "box04 restarted" test "$(state 4)" = "Current version: 4.1|Waiting for command"
rollout 4.1 -e skein_unreachable=skip -e skein_request_timeout=2
check "the rerun leaves box04 on 4.1" test "$(runs 4 | grep -o 4.1 | wc -l)|$(outcomes 4.1 | grep '^box04 ')" = \
    "1|box04 skipped"

# ---- 4.2 without the controller's certificate ----

rollout 4.2 -e skein_unreachable=skip -e skein_base_url=https://127.0.0.2:8443 \
    -e skein_client_cert="$tmp/none.pem"
check "a controller without its certificate fails the rollout" test $? -ne 0
check "it says why" grep -q "cannot use the controller's certificate files" "$tmp/rollout-4.2.log"
check "no box ran 4.2" test -z "$(grep -l ' 4.2$' "$tmp"/box*/update.log)"

finish
