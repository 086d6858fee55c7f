#!/bin/sh
# EXAMPLE update script: replace it with the box's own.
#
# Keep it idempotent: a fleet rollout runs it again for a version the box
# names already when its last run did not complete (the service was
# restarted meanwhile, or the run failed).
#
# The service runs it from its own directory as
#     sh Update_Skein_Edge.sh <version>
# after it has recorded <version> in installation_details/version.info, and
# tells the controller the outcome by the exit status alone: 0 gives the
# status "Update complete", anything else "Update failed". Its output goes
# to the service's standard output (the journal under systemd).
#
# This example pulls the application's images at <version> and recreates
# its containers with docker compose, from the compose file beside it,
# which reads the version from APP_VERSION (see compose.yaml).
set -eu
cd "$(dirname "$0")"

# Long enough for a slow link; an update that hangs beyond it fails instead
# of holding the status at "Update in progress" for ever.
pull_limit=${UPDATE_PULL_TIMEOUT:-1800}
up_limit=${UPDATE_UP_TIMEOUT:-600}

version=${1-}
# A docker image tag: what compose can put after "image:...:", 1 to 128
# letters, digits and _ . -, not beginning with . or -. The fleet's
# rollout.yml sends only such versions (skein_version_pattern in
# fleet/api.yml): keep the two rules alike.
case $version in
    "" | [!A-Za-z0-9_]* | *[!A-Za-z0-9_.-]*) valid=no ;;
    *) [ "${#version}" -le 128 ] && valid=yes || valid=no ;;
esac
if [ "$valid" = no ]; then
    echo "Update_Skein_Edge.sh: '$version' is not a valid version" >&2
    exit 2
fi

export APP_VERSION="$version"
echo "Update_Skein_Edge.sh: pulling version $version"
if ! timeout "$pull_limit" docker compose pull; then
    echo "Update_Skein_Edge.sh: pulling version $version failed; the running containers are unchanged" >&2
    exit 3
fi
if ! timeout "$up_limit" docker compose up -d --remove-orphans; then
    echo "Update_Skein_Edge.sh: starting version $version failed" >&2
    exit 4
fi
echo "Update_Skein_Edge.sh: version $version is running"
