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
#   stop_fleet: stops every box still running, by its pid;
#   stop_box I: stops box I.

fleet_dir=
fleet_pids=()

box_name() { printf 'box%02d' "$1"; }
# 250 boxes to each 127.0.N.0/24, none on a .0 or .255 address.
box_address() { echo "127.0.$(($1 / 250)).$(($1 % 250 + 1))"; }
box_dir() { echo "$fleet_dir/$(box_name "$1")"; }
box_get() { curl -s --max-time 5 "http://$(box_address "$1"):8888/$2"; }

# The update script logs "start|end TIME VERSION" to update.log, takes the
# script time (3 s more for a version named in hang.version), and fails for
# a version named in fail.version.
fleet_update_stub() {
    printf '#!/bin/sh\n'
    printf 'echo "start $(date +%%s.%%N) $1" >> update.log\n'
    printf 'sleep %s\n' "$1"
    printf '! grep -qx "$1" hang.version 2>/dev/null || sleep 3\n'
    printf 'echo "end $(date +%%s.%%N) $1" >> update.log\n'
    printf '! grep -qx "$1" fail.version 2>/dev/null\n'
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
        SKEIN_LISTEN_ADDRESS=$(box_address "$i") "$dir/skein_edge_updater" >"$dir/out" 2>&1 &
        fleet_pids[i]=$!
        printf '    %s: {skein_base_url: "http://%s:8888"}\n' "$(box_name "$i")" \
            "$(box_address "$i")" >>"$fleet_dir/inventory.yml"
    done
    for i in $(seq "$count"); do
        for _ in $(seq 100); do
            [ "$(box_get "$i" status)" = "Waiting for command" ] && break
            sleep 0.1
        done
    done
}

stop_box() {
    [ -n "${fleet_pids[$1]-}" ] || return 0
    stop_process "${fleet_pids[$1]}"
    unset "fleet_pids[$1]"
}

stop_fleet() {
    local i
    for i in "${!fleet_pids[@]}"; do kill -TERM "${fleet_pids[i]}" 2>/dev/null; done
    for i in "${!fleet_pids[@]}"; do wait "${fleet_pids[i]}" 2>/dev/null; done
    fleet_pids=()
}
