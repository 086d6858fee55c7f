#!/usr/bin/env bash
# Runs the fault and load tests of the built service in their long form
# (about two minutes on two cores) and prints the figures they report, the
# ones RELIABILITY.md quotes. The short form, as CI runs it:
#   SKEIN_LONG_TESTS=0 ./scripts/test-reliability.sh
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKEIN_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)" --target skein_edge_updater service_fault_tests

export SKEIN_LONG_TESTS=${SKEIN_LONG_TESTS:-1}
log=build/reliability.log
status=0
./scripts/isolated.sh build/tests/src/service_fault_tests >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    grep -v '^\[20' "$log" | tail -n 80
fi
grep -E '^\[ +(RUN|FIGURE|OK|FAILED|PASSED) ' "$log"
echo "Full output: $log"
exit "$status"
