#!/bin/sh
# EXAMPLE start script: replace it with the box's own.
#
# The service runs it once at start-up, from its own directory, as
#     bash start_containers.sh
# and accepts no request until it has ended, so it must not hang. Its exit
# status is not looked at. This example starts the application's containers
# at the version recorded in installation_details/version.info (the one
# that the last update or rollback asked for); a box that was never updated
# has nothing to start yet.
set -eu
cd "$(dirname "$0")"

# The control API stays unreachable while this runs.
up_limit=${START_UP_TIMEOUT:-300}

version=$(head -n 1 installation_details/version.info 2>/dev/null || true)
if [ -z "$version" ]; then
    echo "start_containers.sh: no version recorded yet; nothing to start"
    exit 0
fi

export APP_VERSION="$version"
echo "start_containers.sh: starting version $version"
if ! timeout "$up_limit" docker compose up -d; then
    echo "start_containers.sh: starting version $version failed" >&2
    exit 1
fi
