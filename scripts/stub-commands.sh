# shellcheck shell=bash
# Sourced by the scripts that start the service on this machine.
#
# use_stub_commands DIR LABEL: writes stub `docker` and `reboot` executables
# into DIR, each of which only says on standard error what it was asked
# ("[LABEL stub] docker compose down"), puts DIR first on PATH, and returns 1
# with a message unless both stubs win there, so that nothing on this machine
# is ever stopped or rebooted.
use_stub_commands() {
    local dir=$1 label=$2 stub
    mkdir -p "$dir"
    for stub in docker reboot; do
        printf '#!/bin/sh\necho "[%s stub] %s $*" >&2\n' "$label" "$stub" > "$dir/$stub"
        chmod +x "$dir/$stub"
    done
    export PATH="$dir:$PATH"
    for stub in docker reboot; do
        if [ "$(command -v "$stub")" != "$dir/$stub" ]; then
            echo "$label: the stub $stub does not win on PATH; refusing to start" >&2
            return 1
        fi
    done
}
