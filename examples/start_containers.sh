#!/bin/sh
# EXAMPLE start script. The service runs it once at start-up, before it
# accepts connections, as `bash start_containers.sh`. A real box starts the
# application's containers at the version recorded in version.info.
set -eu

version=$(head -n 1 installation_details/version.info 2>/dev/null || true)
echo "Starting the application containers${version:+ at version $version}"
APP_VERSION=${version:-latest} docker compose up -d
