#!/usr/bin/env bash
# Installs the build tree into a temporary root as `cmake --install` puts
# it on a box, starts the installed service there (stub docker and reboot
# first on PATH, in a private network namespace when possible) and runs the
# operator's guide against it: every "$ " line of the guide's console
# blocks, in order, must print exactly the lines under it.
#
# Usage: operator_guide_test.sh CMAKE BUILD_DIR BOX_DIR GUIDE
set -u
cmake=$1 build=$2 box_dir=$3 guide=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/test_lib.sh"
run_in_private_network "$@"

# The guide names the box directory by its default place.
guide_box=/opt/skein_edge_updater
attempts=50 # status reads wait for the worker: 50 x 0.2 s at most

tmp=$(mktemp -d)
service_pid=
stop_service() {
    [ -n "$service_pid" ] || return 0
    stop_process "$service_pid"
    service_pid=
}
trap 'stop_service; rm -rf "$tmp"' EXIT

# Plain requests to the loopback, each bounded in time, whatever the
# user's curl settings.
bound_curl "$tmp"
export LC_ALL=C

# ---- Install ----

root=$tmp/root
if ! DESTDIR=$root "$cmake" --install "$build" >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log"
    fail "cmake --install puts the box in place"
    finish
    exit
fi
box=$root$box_dir
# The box scripts are links to their real files under /etc, which here lie
# beneath the temporary root.
for link in "$box"/*.sh; do
    [ -L "$link" ] && ln -sfn "$root$(readlink "$link")" "$link"
done
for program in skein_edge_updater Update_Skein_Edge.sh start_containers.sh unique_id_writer; do
    check "$program is installed in the box directory" test -x "$box/$program"
done

# ---- Provisioning, as the unit runs it ----

(cd "$box" && ./unique_id_writer >/dev/null)
check "unique_id_writer run in the box directory writes the identifier beside it" \
    grep -q '^TARN_SKEIN_UNIQUE_ID=' "$root$(dirname "$box_dir")/tarn_cnf/skein_cloud_config.cnf"

# ---- Start the installed service ----

make_stubs "$tmp/bin" docker reboot
if curl -s -o /dev/null http://127.0.0.1:8888/; then
    fail "port 8888 is free (another program holds it: stop it and run the test again)"
    finish
    exit
fi
(cd "$tmp" && exec "$box/skein_edge_updater" >"$tmp/service.out" 2>"$tmp/service.err") &
service_pid=$!
serving=no
wait_for_service http://127.0.0.1:8888/status "$service_pid" && serving=yes
check_equal "the installed service serves" yes $serving
if [ $serving != yes ]; then
    cat "$tmp/service.out" "$tmp/service.err"
    finish
    exit
fi
check "the service names its log file on standard output" \
    has_line "$(cat "$tmp/service.out")" "Log at: ./logs/update_logs/skein_edge_updater_100.log"

# ---- The guide's commands ----

# run_example COMMAND EXPECTED: runs one command of the guide on this box.
run_example() {
    local command=$1 expected=$2
    case $command in
        curl\ * | cat\ * | ls\ *) ;;
        *)
            fail "guide command '$command' is one of curl, cat, ls"
            return
            ;;
    esac
    local local_command=${command//$guide_box/$box} output tries=1
    # Statuses move when a worker ends: wait for them, boundedly.
    [[ $command == *status* ]] && tries=$attempts
    for ((try = 1; try <= tries; try++)); do
        output=$(bash -c "$local_command" 2>&1 | tr -d '\r')
        [ "$output" = "$expected" ] && break
        sleep 0.2
    done
    check_equal "guide: $command" "$expected" "$output"
}

commands=0
in_console=no
command=
expected=
flush() {
    if [ -n "$command" ]; then
        run_example "$command" "$expected"
        commands=$((commands + 1))
    fi
    command=
    expected=
}
while IFS= read -r line; do
    if [ $in_console = no ]; then
        [ "$line" = '```console' ] && in_console=yes
        continue
    fi
    case $line in
        '```')
            flush
            in_console=no
            ;;
        '$ '*)
            flush
            command=${line#\$ }
            ;;
        *)
            expected=${expected:+$expected$'\n'}$line
            ;;
    esac
done <"$guide"
check "the guide has commands to run ($commands)" test "$commands" -ge 20

# ---- What the example scripts asked of docker and reboot ----

calls=$(cat "$tmp/bin/calls" 2>/dev/null)
check "the example update script pulls" has_line "$calls" "docker compose pull --quiet"
check "the example update script starts the containers" \
    has_line "$calls" "docker compose up -d --remove-orphans"
check "the reboot route stops the containers" has_line "$calls" "docker compose down"
check "the reboot route reboots" has_line "$calls" "reboot "
check_equal "the service ran throughout" 0 "$(kill -0 "$service_pid" 2>/dev/null; echo $?)"

finish
