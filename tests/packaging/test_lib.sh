# shellcheck shell=bash
# Helpers shared by the packaging tests (sourced, bash). Each check prints
# one line; finish prints the totals and gives the exit status.

passed=0
failed=0

pass() {
    passed=$((passed + 1))
    echo "ok: $*"
}

fail() {
    failed=$((failed + 1))
    echo "FAILED: $*"
}

# check DESCRIPTION COMMAND...: the command's success is the check.
check() {
    local description=$1
    shift
    if "$@"; then pass "$description"; else fail "$description"; fi
}

# check_equal DESCRIPTION EXPECTED ACTUAL
check_equal() {
    if [ "$2" = "$3" ]; then
        pass "$1"
    else
        fail "$1"
        printf '  expected: %q\n  actual:   %q\n' "$2" "$3"
    fi
}

finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# make_stubs DIR NAME...: executables that append "NAME ARGS" to DIR/calls
# and exit with the code in DIR/NAME.exit (0 when missing). DIR goes first
# on PATH, and each stub must win there: the real commands never run.
make_stubs() {
    local dir=$1
    shift
    mkdir -p "$dir"
    local name
    for name in "$@"; do
        cat >"$dir/$name" <<STUB
#!/bin/sh
echo "$name \$*" >> "$dir/calls"
code=0
[ -f "$dir/$name.exit" ] && code=\$(cat "$dir/$name.exit")
exit "\$code"
STUB
        chmod +x "$dir/$name"
    done
    PATH="$dir:$PATH"
    export PATH
    for name in "$@"; do
        if [ "$(command -v "$name")" != "$dir/$name" ]; then
            echo "the stub $name does not win on PATH; refusing to go on" >&2
            exit 1
        fi
    done
}

# need_commands "PACKAGE..." COMMAND...: installs the Debian packages with
# apt-get when a command is missing, before the private network namespace
# (which has no way out to apt); ends the test as failed when a command is
# still missing.
need_commands() {
    local packages=$1 command missing=no
    shift
    for command in "$@"; do command -v "$command" >/dev/null || missing=yes; done
    if [ $missing = yes ] && [ -z "${SKEIN_PRIVATE_NETWORK-}" ]; then
        echo "installing $packages"
        # shellcheck disable=SC2086 # one word per package
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends $packages >/dev/null
    fi
    for command in "$@"; do
        if ! command -v "$command" >/dev/null; then
            fail "$command is installed (./scripts/install-deps.sh installs it)"
            finish
            exit
        fi
    done
}

# Runs this test again inside a private network namespace with its own
# loopback, so that the service's port 8888 clashes with nothing; runs it
# in place when namespaces are not permitted here.
run_in_private_network() {
    if [ -n "${SKEIN_PRIVATE_NETWORK-}" ]; then
        return 0
    fi
    if command -v ip >/dev/null 2>&1 && unshare -n true 2>/dev/null; then
        # shellcheck disable=SC2016 # expanded by the inner shell
        exec unshare -n env SKEIN_PRIVATE_NETWORK=1 bash -c 'ip link set lo up && exec bash "$0" "$@"' \
            "$0" "$@"
    fi
    echo "note: no private network namespace here; using this machine's loopback"
}

# has_line TEXT LINE, has_text TEXT PATTERN, lacks_text TEXT PATTERN (grep
# basic regular expressions).
has_line() { grep -qxF -- "$2" <<<"$1"; }
has_text() { grep -q -- "$2" <<<"$1"; }
lacks_text() { ! grep -q -- "$2" <<<"$1"; }

# stop_process PID: ends a process this test started, politely first, and
# waits for it (5 s at most before SIGKILL).
stop_process() {
    local pid=$1
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

# bound_curl DIR: every curl of this test talks straight to the loopback,
# whatever the user's proxy settings, and gives up after 10 s.
bound_curl() {
    unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY
    export CURL_HOME=$1
    echo "max-time = 10" >"$1/.curlrc"
}

# wait_for_service URL PID [CURL_ARGS...]: waits until URL answers with a
# body while PID lives (10 s at most); the exit status says whether it did.
wait_for_service() {
    local url=$1 pid=$2
    shift 2
    for _ in $(seq 50); do
        [ -n "$(curl -s "$@" "$url")" ] && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.2
    done
    return 1
}
