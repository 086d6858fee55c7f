#!/bin/sh
# EXAMPLE helper, sourced (not run) by the example Update_Skein_Edge.sh and
# start_containers.sh from the box directory: what both do with the
# application's containers. It brings them up at a version with docker
# compose and waits until every container of the compose project runs and,
# where its service defines a healthcheck, is healthy. Scripts of your own
# may source it too, or do without it.

# The sourcing script's name, for its messages.
me=${0##*/}

# The version that last came up healthy: the scripts' own record. The
# service's records in installation_details/ name what was asked for, which
# after a failed update is not what runs.
healthy_record=update_logs/healthy_version
# A container whose service has no healthcheck counts as up once it has
# kept running, unrestarted, for this long.
steady_seconds=5

# seconds_setting NAME VALUE DEFAULT: VALUE, the setting NAME, when it is a
# whole number of seconds from 1 to 86400; DEFAULT when it is empty; any
# other value is reported and DEFAULT used.
seconds_setting() {
    seconds=${2:-$3}
    case $seconds in
        "" | 0* | *[!0-9]*) ;;
        *) if [ "${#seconds}" -le 5 ] && [ "$seconds" -le 86400 ]; then
            echo "$seconds"
            return
        fi ;;
    esac
    echo "$me: $1=$seconds is not a whole number of seconds from 1 to 86400; using $3" >&2
    echo "$3"
}

health_limit=$(seconds_setting UPDATE_HEALTH_TIMEOUT "${UPDATE_HEALTH_TIMEOUT-}" 120)

# valid_version TEXT: a docker image tag, what compose can put after
# "image:...:": 1 to 128 letters, digits and _ . -, not beginning with . or
# -. The fleet's rollout.yml sends only such versions (skein_version_pattern
# in fleet/api.yml): keep the two rules alike.
valid_version() {
    case $1 in
        "" | [!A-Za-z0-9_]* | *[!A-Za-z0-9_.-]*) return 1 ;;
    esac
    [ "${#1}" -le 128 ]
}

# first_line FILE: its first line, or nothing when it cannot be read.
first_line() {
    head -n 1 "$1" 2>/dev/null || true
}

# recorded_healthy: the version that last came up healthy, if any.
recorded_healthy() {
    recorded=$(first_line "$healthy_record")
    if valid_version "$recorded"; then echo "$recorded"; fi
}

# record_healthy VERSION: replaces the record whole (a new file renamed over
# it), so that a power cut leaves the old record or the new one.
record_healthy() {
    if ! { mkdir -p "${healthy_record%/*}" &&
        printf '%s\n' "$1" >"$healthy_record.tmp" &&
        mv -f "$healthy_record.tmp" "$healthy_record"; }; then
        echo "$me: could not record version $1 as the last healthy one in $healthy_record" >&2
    fi
}

# Per container: id, state, health (none without a healthcheck), restart
# count, start time, compose service, one-off flag, name.
container_format='{{.ID}} {{.State.Status}} {{if .State.Health}}{{.State.Health.Status}}{{else}}none{{end}}'
container_format="$container_format"' {{.RestartCount}} {{.State.StartedAt}}'
container_format="$container_format"' {{index .Config.Labels "com.docker.compose.service"}}'
container_format="$container_format"' {{index .Config.Labels "com.docker.compose.oneoff"}} {{.Name}}'

# judge SERVICES BASELINE NOW ELAPSED: "ready", "waiting REASON" or
# "failed REASON", from the compose services and two inspections of the
# containers (the first one after they were brought up, and the latest).
judge() {
    {
        printf '%s\n' "$1" | sed 's/^/service /'
        printf '%s\n' "$2" | sed 's/^/base /'
        printf '%s\n' "$3" | sed 's/^/now /'
    } | awk -v elapsed="$4" -v steady="$steady_seconds" '
        $1 == "service" && NF == 2 { wanted[$2] = 1 }
        $1 == "base" { started[$2] = $5 " " $6 }
        $1 != "now" || $8 == "True" { next }
        {
            name = $9; sub(/^\//, "", name); seen[$7] = 1
            if ($3 == "exited" || $3 == "dead" || $3 == "restarting" || $3 == "removing")
                failed = name ($3 == "exited" ? " has exited" : " is " $3)
            else if ($4 == "unhealthy")
                failed = name " is unhealthy"
            else if (started[$2] != $5 " " $6)
                failed = name " has restarted"
            else if ($3 != "running")
                waiting = name " is " $3
            else if ($4 == "starting")
                waiting = name " is not healthy yet"
            else if ($4 == "none" && elapsed < steady)
                waiting = name " has run for less than " steady " s"
        }
        END {
            for (service in wanted)
                if (!(service in seen)) failed = "service " service " has no container"
            if (failed != "") print "failed " failed
            else if (waiting != "") print "waiting " waiting
            else print "ready"
        }'
}

# wait_healthy: waits, at most health_limit seconds, until every container
# of the compose project runs, healthy where a healthcheck is defined. A
# container that exits, restarts or turns unhealthy fails it at once.
wait_healthy() {
    if ! ids=$(timeout 60 docker compose ps -a -q) ||
        ! services=$(timeout 60 docker compose config --services); then
        echo "$me: cannot list the containers of the compose project" >&2
        return 1
    fi
    # A compose file without services (or a stand-in docker) has nothing to wait for.
    [ -n "$ids$services" ] || return 0
    begin=$(date +%s)
    baseline=
    while :; do
        # shellcheck disable=SC2086 # one word per container id
        if ! now=$(timeout 30 docker inspect --format "$container_format" $ids); then
            echo "$me: cannot inspect the containers of the compose project" >&2
            return 1
        fi
        [ -n "$baseline" ] || baseline=$now
        elapsed=$(($(date +%s) - begin))
        verdict=$(judge "$services" "$baseline" "$now" "$elapsed")
        case $verdict in
            ready) return 0 ;;
            failed*)
                echo "$me: ${verdict#failed }" >&2
                return 1
                ;;
        esac
        if [ "$elapsed" -ge "$health_limit" ]; then
            echo "$me: not up after $health_limit s (UPDATE_HEALTH_TIMEOUT): ${verdict#waiting }" >&2
            return 1
        fi
        sleep 1
    done
}

# bring_up VERSION LIMIT: (re)creates the containers at VERSION, within
# LIMIT seconds, and waits for them to be up and healthy.
bring_up() {
    export APP_VERSION="$1"
    echo "$me: starting version $1"
    if ! timeout "$2" docker compose up -d --remove-orphans; then
        echo "$me: starting version $1 failed" >&2
        return 1
    fi
    if ! wait_healthy; then
        echo "$me: version $1 did not come up healthy" >&2
        return 1
    fi
    echo "$me: version $1 is up and healthy"
}
