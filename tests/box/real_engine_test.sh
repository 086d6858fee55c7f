#!/usr/bin/env bash
# The box on a real container engine: the built service runs the example
# box scripts against Debian's dockerd, docker-compose (through the
# packaged compose plugin) and a local registry, all in this test's private
# network, mount and process namespaces, with their state in its temporary
# directory. Images v1, v2, v3 (whose healthcheck fails) and v4 (whose
# application exits at once) are made from busybox and pushed to the
# registry; nothing is pulled from outside. Only `reboot` is a stub. Steps:
# start on v1, update to v2, update to v3 (back on v2), a rollback, an
# update to v4 (back on v2), an update to a version the registry lacks, a
# reboot; each is checked against docker inspect, the service's records and
# its replies.
#
# Skips (exit 77) only where the kernel cannot run containers; under
# CI=true that fails instead.
#
# Usage: real_engine_test.sh SERVICE SOURCE_DIR
set -u
service_binary=$1 source_dir=$2
# shellcheck source=../packaging/test_lib.sh source-path=SCRIPTDIR
. "$source_dir/tests/packaging/test_lib.sh"

registry=127.0.0.1:5000
image=$registry/app
project=box # the compose project: the box directory's name

# ---- Outside the namespaces: what is needed, and the clean-up ----

if [ -z "${SKEIN_ENGINE_TMP-}" ]; then
    for command in /usr/sbin/dockerd /usr/bin/docker /usr/bin/docker-compose \
        /usr/bin/docker-registry /bin/busybox; do
        [ -x $command ] || fail "$command is installed (./scripts/install-deps.sh installs it)"
    done
    readelf -l /bin/busybox 2>/dev/null | grep -q INTERP &&
        fail "/bin/busybox is static (busybox-static; ./scripts/install-deps.sh installs it)"
    [ -d /etc/docker ] || fail "/etc/docker exists (docker.io ships it)"
    [ "$failed" -eq 0 ] || { finish; exit; }

    cannot=
    unshare -n -m -p -i -u --fork --mount-proc true 2>/dev/null ||
        cannot="no private network, mount, process, IPC and UTS namespaces"
    [ -e /sys/fs/cgroup/cgroup.controllers ] || [ -d /sys/fs/cgroup/memory ] ||
        cannot="${cannot:-no cgroup hierarchy under /sys/fs/cgroup}"
    if [ -n "$cannot" ]; then
        echo "skipped: box.real_engine: the kernel cannot run containers here ($cannot)"
        [ "${CI-}" = true ] && exit 1
        exit 77
    fi

    tmp=$(mktemp -d)
    # dockerd makes the containers' cgroups beneath this one parent.
    cgroup_parent=skein-real-engine-${tmp##*.}
    # Everything inside ends with the namespaces, when the test ends or is
    # stopped (ctest's time-out).
    SKEIN_ENGINE_TMP=$tmp SKEIN_CGROUP_PARENT=$cgroup_parent \
        unshare -n -m -p -i -u --fork --kill-child --mount-proc bash "$0" "$@" &
    inner=$!
    trap 'kill -KILL $inner' TERM INT
    inner_status=0
    wait $inner || inner_status=$?
    wait $inner 2>/dev/null
    for dir in "/sys/fs/cgroup/$cgroup_parent" /sys/fs/cgroup/*/"$cgroup_parent"; do
        [ -d "$dir" ] || continue
        find "$dir" -depth -type d -exec rmdir {} + 2>/dev/null
        [ ! -d "$dir" ] || { echo "FAILED: $dir is left behind"; inner_status=1; }
    done
    if [ -e /etc/docker/key.json ] && [ /etc/docker/key.json -nt "$tmp" ]; then
        echo "FAILED: dockerd wrote /etc/docker/key.json on this machine"
        inner_status=1
    fi
    rm -rf "$tmp"
    exit $inner_status
fi

# ---- Inside: this machine's /run, /etc/docker and network are out of reach ----

tmp=$SKEIN_ENGINE_TMP
begin=$SECONDS
mount --make-rprivate /
# The shims of the engine's containerd keep their sockets under /run.
mount -t tmpfs engine-run /run
mkdir -p "$tmp/etc-docker" && mount --bind "$tmp/etc-docker" /etc/docker
ip link set lo up
bound_curl "$tmp"
export LC_ALL=C HOME=$tmp/home DOCKER_CONFIG=$tmp/docker-config
export DOCKER_HOST=unix://$tmp/docker.sock
mkdir -p "$HOME" "$DOCKER_CONFIG/cli-plugins"

# Stopped by pid; whatever they leave running ends with this process
# namespace.
pids=()
stop_started() {
    local pid
    for pid in "${pids[@]}"; do stop_process "$pid"; done
}
trap stop_started EXIT

# wait_until SECONDS COMMAND...: runs COMMAND every 0.2 s until it succeeds;
# the exit status says whether it did in time.
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

# Debian's docker client (not one that happens to be first on PATH), its
# docker-compose, and a reboot that records which containers still exist.
bin=$tmp/bin
mkdir -p "$bin"
ln -s /usr/bin/docker /usr/bin/docker-compose "$bin/"
cat >"$bin/reboot" <<EOF
#!/bin/sh
echo "reboot with \$(docker ps -a -q | wc -l) containers left" >>"$tmp/reboot.calls"
EOF
chmod +x "$bin/reboot"
export PATH=$bin:$PATH
for command in docker docker-compose reboot; do
    [ "$(command -v $command)" = "$bin/$command" ] || {
        fail "$bin/$command wins on PATH"
        finish
        exit
    }
done
# The compose plugin as the package installs it, found first through the
# user's plugin directory.
ln -s "$source_dir/packaging/cli-plugins/docker-compose" "$DOCKER_CONFIG/cli-plugins/"

# ---- The engine and the registry ----

echo '{}' >"$tmp/daemon.json"
/usr/sbin/dockerd --config-file "$tmp/daemon.json" --data-root "$tmp/docker" \
    --exec-root "$tmp/exec" --pidfile "$tmp/dockerd.pid" --host "$DOCKER_HOST" \
    --bridge=none --iptables=false --ip6tables=false --storage-driver=vfs \
    --cgroup-parent "/$SKEIN_CGROUP_PARENT" >"$tmp/dockerd.log" 2>&1 &
pids=($!)
cat >"$tmp/registry.yml" <<EOF
version: 0.1
log: {level: warn}
storage: {filesystem: {rootdirectory: $tmp/registry}}
http: {addr: $registry}
EOF
docker-registry serve "$tmp/registry.yml" >"$tmp/registry.log" 2>&1 &
pids=($! "${pids[@]}")
engine_up=no
wait_until 60 docker version >/dev/null 2>&1 &&
    wait_until 30 curl -sf "http://$registry/v2/" -o /dev/null && engine_up=yes
check_equal "dockerd and the registry serve" yes $engine_up
if [ $engine_up != yes ]; then
    tail -n 20 "$tmp/dockerd.log" "$tmp/registry.log"
    finish
    exit
fi
echo "note: $(docker compose version | head -n 1); cgroup v$([ -e /sys/fs/cgroup/cgroup.controllers ] && echo 2 || echo 1)"

# Each version's image: busybox, a version file and a health check that
# passes, except in v3; the application sleeps, except in v4.
for version in v1 v2 v3 v4; do
    tree=$tmp/image-$version
    mkdir -p "$tree/bin" "$tree/app"
    cp /bin/busybox "$tree/bin/"
    for applet in sh sleep cat; do ln -s busybox "$tree/bin/$applet"; done
    echo $version >"$tree/app/version"
    health=0
    [ $version = v3 ] && health=1
    printf '#!/bin/sh\nexit %s\n' $health >"$tree/app/health"
    chmod +x "$tree/app/health"
    command='["/bin/sleep", "86400"]'
    [ $version = v4 ] && command='["/bin/sh", "-c", "exit 1"]'
    tar -C "$tree" -c . | docker import --change "CMD $command" - "$image:$version" \
        >/dev/null && docker push -q "$image:$version" >/dev/null && docker rmi "$image:$version" >/dev/null
    check "image $version is in the registry" curl -sf "http://$registry/v2/app/manifests/$version" \
        -H 'Accept: application/vnd.docker.distribution.manifest.v2+json' -o /dev/null
done

# ---- The box ----

box=$tmp/$project
mkdir -p "$box/installation_details"
cp "$service_binary" "$box/skein_edge_updater"
cp "$source_dir"/examples/{Update_Skein_Edge.sh,start_containers.sh,compose_health.sh} "$box/"
# Two services, one with a health check; tini (init) ends them at once on
# docker's stop signal.
cat >"$box/compose.yaml" <<EOF
services:
  web:
    image: $image:\${APP_VERSION:-latest}
    init: true
    network_mode: none
    restart: unless-stopped
    healthcheck: {test: ["CMD", "/app/health"], interval: 1s, timeout: 5s, retries: 2}
  worker:
    image: $image:\${APP_VERSION:-latest}
    init: true
    network_mode: none
    restart: unless-stopped
EOF
# Installed at v1, never started.
printf v1 >"$box/installation_details/version.info"

# containers: "SERVICE IMAGE STATE HEALTH" for each container of the
# project, by service.
containers() {
    local ids
    ids=$(docker ps -a -q --filter "label=com.docker.compose.project=$project")
    [ -n "$ids" ] || return 0
    # shellcheck disable=SC2086 # one word per id
    docker inspect --format '{{index .Config.Labels "com.docker.compose.service"}} {{.Config.Image}}
        {{- " "}}{{.State.Status}} {{if .State.Health}}{{.State.Health.Status}}{{else}}-{{end}}' $ids |
        sort
}
# running_healthy VERSION: what containers shows when both services run
# VERSION, the web service healthy.
running_healthy() {
    printf 'web %s running healthy\nworker %s running -\n' "$image:$1" "$image:$1"
}
container_ids() { docker ps -a -q --no-trunc --filter "label=com.docker.compose.project=$project" | sort; }
get() { curl -s "http://127.0.0.1:8888/$1"; }
record() { cat "$box/installation_details/$1.info"; }
serving() { [ -n "$(get status)" ]; }
not_in_progress() { [ "$(get status)" != "Update in progress" ]; }

# request REQUEST EXPECTED_REPLY: sends it, then waits (4 min at most) for
# the script to end; the seconds it took are in `took`.
request() {
    local started=$SECONDS
    check_equal "/$1 replies" "$2" "$(get "$1")"
    wait_until 240 not_in_progress
    took=$((SECONDS - started))
}

(cd "$box" && exec ./skein_edge_updater >"$tmp/service.out" 2>&1) &
pids=($! "${pids[@]}")
started=$SECONDS
wait_until 240 serving
check_equal "start: the service serves once start_containers.sh has ended" "Waiting for command" \
    "$(get status)"
start_took=$((SECONDS - started))
check_equal "start: both services run v1, healthy" "$(running_healthy v1)" "$(containers)"

request "update?version=v2" "Update initiated with version v2"
update_took=$took
check_equal "update to v2: the status" "Update complete" "$(get status)"
check_equal "update to v2: both services run it, healthy" "$(running_healthy v2)" "$(containers)"
check_equal "update to v2: the records" "v2 v1 v1" \
    "$(record version) $(record previous_version) $(record previous_version_temp)"

request "update?version=v3" "Update initiated with version v3"
failed_took=$took
check_equal "update to v3: the status" "Update failed" "$(get status)"
check_equal "update to v3: both services are back on v2, healthy" "$(running_healthy v2)" \
    "$(containers)"
check "update to v3: the script says it went back to v2" \
    grep -q "Update_Skein_Edge.sh: version v3 was not kept; version v2 runs again" "$tmp/service.out"
check_equal "update to v3: the service's records name what was asked for, the scripts' what runs" \
    "v3 v2 v2" "$(record version) $(record previous_version) $(cat "$box/update_logs/healthy_version")"

v2_containers=$(container_ids)
request rollback "Rollback initiated to version v2"
check_equal "rollback: the status" "Update complete" "$(get status)"
check_equal "rollback: the recorded previous version, v2, runs as it did" "$v2_containers" \
    "$(container_ids)"
check_equal "rollback: the records are straight again" "v2 v3" \
    "$(record version) $(record previous_version_temp)"

request "update?version=v4" "Update initiated with version v4"
check_equal "update to v4: the status" "Update failed" "$(get status)"
check_equal "update to v4: both services are back on v2, healthy" "$(running_healthy v2)" \
    "$(containers)"
check "update to v4: the script says which container stopped" \
    grep -Eq "Update_Skein_Edge.sh: box[_-](web|worker)[_-]1 (has exited|has restarted|is restarting)" "$tmp/service.out"

v2_containers=$(container_ids)
request "update?version=v9" "Update initiated with version v9"
check_equal "update to a version the registry lacks: the status" "Update failed" "$(get status)"
check_equal "update to a version the registry lacks: the containers are untouched" \
    "$v2_containers" "$(container_ids)"
check_equal "update to a version the registry lacks: they still run v2, healthy" \
    "$(running_healthy v2)" "$(containers)"

started=$SECONDS
check_equal "/reboot replies" "Reboot initiated" "$(get reboot)"
reboot_took=$((SECONDS - started))
wait_until 10 test -s "$tmp/reboot.calls" # the reboot runs on after the reply
check_equal "reboot: compose down removed every container before reboot ran" \
    "reboot with 0 containers left" "$(cat "$tmp/reboot.calls" 2>/dev/null)"

echo "timing: start ${start_took} s, update ${update_took} s, failed update with its" \
    "rollback ${failed_took} s, reboot (compose down) ${reboot_took} s; test $((SECONDS - begin)) s"
if [ "$failed" -ne 0 ]; then
    echo "---- service output"
    cat "$tmp/service.out"
fi
finish
