#!/usr/bin/env bash
# Runs the whole test suite in a build with the given sanitizers
# (default: AddressSanitizer + UndefinedBehaviorSanitizer). Any report fails.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitizers=${1:-address,undefined}
build=build-${sanitizers//,/-}
./scripts/install-deps.sh
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DSKEIN_WERROR=ON -DSKEIN_SANITIZE="$sanitizers"
cmake --build "$build" -j"$(nproc)"
# The tests start the service on port 8888: a private network namespace,
# where one can be had, keeps them clear of anything else on the machine.
# The fleet, real-engine and lifecycle tests check the playbooks, the box
# scripts and the package's maintainer scripts, not the service's code: they
# run once, in the plain build.
./scripts/isolated.sh ctest --test-dir "$build" --output-on-failure -j"$(nproc)" -LE "fleet|box|lifecycle"
