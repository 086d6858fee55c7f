# shellcheck shell=bash
# A simulated fleet on this machine, for the fleet playbooks' test and
# benchmark (sourced after tests/packaging/test_lib.sh, inside a private
# network namespace): box I is a directory of its own with a link to the
# built service, stub box scripts, and the service bound to its own
# loopback address (127.0.0.2 for box 1, up to 127.0.4.1 for box 1000) on
# port 8888 by SKEIN_LISTEN_ADDRESS. Stub docker and reboot go first on
# PATH, shared by all boxes.
#
#   start_fleet BINARY DIR COUNT SCRIPT_SECONDS: starts the boxes under DIR,
#       each on version 1.0, and writes DIR/inventory.yml (group "boxes");
#   stop_fleet: stops every box still running, and the misbehaving ones,
#       by their pids;
#   stop_box I, start_box I: stops box I's service, starts it again;
#   misbehave MODE I...: box I is reached, from the next start_misbehaving
#       on, through misbehaving_box.py in MODE, on 127.1.N.M (the inventory
#       names that address).

fleet_dir=
fleet_pids=()
fleet_misbehaving=()
misbehaving_pid=

box_name() { printf 'box%02d' "$1"; }
# 250 boxes to each 127.0.N.0/24, none on a .0 or .255 address.
box_address() { echo "127.0.$(($1 / 250)).$(($1 % 250 + 1))"; }
proxy_address() { echo "127.1.$(($1 / 250)).$(($1 % 250 + 1))"; }
box_dir() { echo "$fleet_dir/$(box_name "$1")"; }
box_get() { curl -s --max-time 5 "http://$(box_address "$1"):8888/$2"; }

# The update script logs "start|end TIME VERSION" to update.log, takes the
# script time (3 s more for a version named in hang.version), and fails for
# a version named in fail.version.
# shellcheck disable=SC2016 # the stub's own expansions
fleet_update_stub() {
    printf '#!/bin/sh\n'
    printf 'echo "start $(date +%%s.%%N) $1" >> update.log\n'
    printf 'sleep %s\n' "$1"
    printf '! grep -qx "$1" hang.version 2>/dev/null || sleep 3\n'
    printf 'echo "end $(date +%%s.%%N) $1" >> update.log\n'
    printf '! grep -qx "$1" fail.version 2>/dev/null\n'
}

start_box() {
    local dir
    dir=$(box_dir "$1")
    SKEIN_LISTEN_ADDRESS=$(box_address "$1") "$dir/skein_edge_updater" >>"$dir/out" 2>&1 &
    fleet_pids[$1]=$!
}

# wait_for_boxes I...: until each box serves /status (10 s at most each).
wait_for_boxes() {
    local i
    for i in "$@"; do
        for _ in $(seq 100); do
            [ -n "$(box_get "$i" status)" ] && break
            sleep 0.1
        done
    done
}

start_fleet() {
    local binary=$1 count=$3 seconds=$4 i dir
    fleet_dir=$2
    make_stubs "$fleet_dir/bin" docker reboot
    # Straight to the boxes, and Ansible's own files stay in DIR.
    unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY
    export ANSIBLE_HOME=$fleet_dir/ansible ANSIBLE_NOCOLOR=1
    printf 'boxes:\n  hosts:\n' >"$fleet_dir/inventory.yml"
    for i in $(seq "$count"); do
        dir=$(box_dir "$i")
        mkdir -p "$dir/installation_details"
        ln -f "$binary" "$dir/skein_edge_updater" 2>/dev/null || cp "$binary" "$dir/skein_edge_updater"
        fleet_update_stub "$seconds" >"$dir/Update_Skein_Edge.sh"
        printf '#!/bin/sh\n' >"$dir/start_containers.sh"
        printf '1.0' >"$dir/installation_details/version.info"
        start_box "$i"
        printf '    %s: {skein_base_url: "http://%s:8888"}\n' "$(box_name "$i")" \
            "$(box_address "$i")" >>"$fleet_dir/inventory.yml"
    done
    wait_for_boxes $(seq "$count")
}

stop_box() {
    [ -n "${fleet_pids[$1]-}" ] || return 0
    stop_process "${fleet_pids[$1]}"
    unset "fleet_pids[$1]"
}

misbehave() {
    local mode=$1 i
    shift
    for i in "$@"; do
        fleet_misbehaving+=("$mode" "$(proxy_address "$i")" "$(box_address "$i")")
        sed -i "s|^    $(box_name "$i"): .*|    $(box_name "$i"): {skein_base_url: \"http://$(proxy_address "$i"):8888\"}|" \
            "$fleet_dir/inventory.yml"
    done
}

start_misbehaving() {
    python3 "$(dirname "${BASH_SOURCE[0]}")/misbehaving_box.py" "${fleet_misbehaving[@]}" >"$fleet_dir/misbehaving.out" 2>&1 &
    misbehaving_pid=$!
    for _ in $(seq 100); do
        grep -qs listening "$fleet_dir/misbehaving.out" && return 0
        sleep 0.1
    done
    return 1
}

stop_fleet() {
    local i
    [ -z "$misbehaving_pid" ] || stop_process "$misbehaving_pid"
    for i in "${!fleet_pids[@]}"; do kill -TERM "${fleet_pids[i]}" 2>/dev/null; done
    for i in "${!fleet_pids[@]}"; do wait "${fleet_pids[i]}" 2>/dev/null; done
    fleet_pids=()
}
