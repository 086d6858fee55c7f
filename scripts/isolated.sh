#!/usr/bin/env bash
# Runs a command in a private network namespace with only loopback up, so
# that the service it starts on port 8888 meets nothing else on the machine
# (and the other way round). Where namespaces are not permitted, the command
# runs as it is.
#   ./scripts/isolated.sh ./scripts/test.sh
set -euo pipefail
if command -v unshare >/dev/null && command -v ip >/dev/null &&
    unshare -n sh -c 'ip link set lo up' 2>/dev/null; then
    exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
echo "isolated: no private network namespace here; running in the shared one" >&2
exec "$@"
