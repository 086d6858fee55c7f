#!/bin/sh
# EXAMPLE update script. The service runs it as
#   sh Update_Skein_Edge.sh <version>
# after it has recorded the version in installation_details/. A real box
# pulls and starts the application's containers at that version; the exit
# status tells the service whether the update worked (0) or failed (other).
set -eu

version=${1:-}
if [ -z "$version" ]; then
    echo "Update_Skein_Edge.sh: no version given" >&2
    exit 2
fi

echo "Updating the application to version $version"
APP_VERSION=$version docker compose pull
APP_VERSION=$version docker compose up -d
