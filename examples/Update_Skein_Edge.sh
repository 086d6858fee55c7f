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
# This example pulls the application's images at <version>, recreates its
# containers with docker compose, from the compose file beside it, which
# reads the version from APP_VERSION (see compose.yaml), and waits until
# they all run and are healthy (compose_health.sh). When they do not, it
# brings back the version that last came up healthy. Exit status:
#   0  <version> runs, healthy
#   2  <version> is not a valid image tag; nothing was done
#   3  pulling <version> failed; the running containers are unchanged
#   4  <version> did not come up healthy, and there is no other version to
#      go back to: the box is left on it
#   5  <version> did not come up healthy; the version before runs again,
#      healthy
#   6  <version> did not come up healthy, and neither did the version before
#   1  anything else went wrong (the script could not run)
set -eu
cd "$(dirname "$0")"
# shellcheck source=compose_health.sh source-path=SCRIPTDIR
. ./compose_health.sh

# Long enough for a slow link; an update that hangs beyond it fails instead
# of holding the status at "Update in progress" for ever.
pull_limit=$(seconds_setting UPDATE_PULL_TIMEOUT "${UPDATE_PULL_TIMEOUT-}" 1800)
up_limit=$(seconds_setting UPDATE_UP_TIMEOUT "${UPDATE_UP_TIMEOUT-}" 600)

version=${1-}
if ! valid_version "$version"; then
    echo "$me: '$version' is not a valid version" >&2
    exit 2
fi

export APP_VERSION="$version"
echo "$me: pulling version $version"
if ! timeout "$pull_limit" docker compose pull --quiet; then
    echo "$me: pulling version $version failed; the running containers are unchanged" >&2
    exit 3
fi
if bring_up "$version" "$up_limit"; then
    record_healthy "$version"
    exit 0
fi

# The version that last came up healthy; on a box that has none recorded
# yet, the one the service recorded before this update.
previous=$(recorded_healthy)
[ -n "$previous" ] || previous=$(first_line installation_details/previous_version.info)
if ! valid_version "$previous" || [ "$previous" = "$version" ]; then
    echo "$me: no other version to go back to; the box stays on version $version" >&2
    exit 4
fi
echo "$me: going back to version $previous" >&2
if bring_up "$previous" "$up_limit"; then
    record_healthy "$previous"
    echo "$me: version $version was not kept; version $previous runs again" >&2
    exit 5
fi
echo "$me: version $previous did not come up healthy either: the box needs attention" >&2
exit 6
