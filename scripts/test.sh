#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKEIN_WERROR=ON
cmake --build build -j"$(nproc)"
# The tests start the service on port 8888: a private network namespace,
# where one can be had, keeps them clear of anything else on the machine.
./scripts/isolated.sh ctest --test-dir build --output-on-failure -j"$(nproc)"
