#!/bin/sh
# EXAMPLE start script: replace it with the box's own.
#
# The service runs it once at start-up, from its own directory, as
#     bash start_containers.sh
# and accepts no request until it has ended, so it must not hang. Its exit
# status is not looked at. This example starts the application's containers
# at the version that last came up healthy (recorded by these scripts,
# see compose_health.sh) and waits until they all run and are healthy, as
# the update does. A box on which no version has come up healthy yet starts
# the one recorded in installation_details/version.info (the one that the
# last update or rollback asked for); a box that was never updated has
# nothing to start yet.
set -eu
cd "$(dirname "$0")"
# shellcheck source=compose_health.sh source-path=SCRIPTDIR
. ./compose_health.sh

# The control API stays unreachable while this runs, health wait included.
up_limit=$(seconds_setting START_UP_TIMEOUT "${START_UP_TIMEOUT-}" 300)

version=$(recorded_healthy)
[ -n "$version" ] || version=$(first_line installation_details/version.info)
if [ -z "$version" ]; then
    echo "$me: no version recorded yet; nothing to start"
    exit 0
fi
if ! valid_version "$version"; then
    echo "$me: the recorded version '$version' is not a valid version; nothing started" >&2
    exit 1
fi
if ! bring_up "$version" "$up_limit"; then
    exit 1
fi
record_healthy "$version"
