#!/usr/bin/env bash
# Cross-builds the programs, their tests and the Debian package for arm64
# (./scripts/build-arm64.sh), then runs the tests against the arm64 build
# under user-mode emulation: the library tests, the service's end-to-end
# tests, the unique_id_writer tests, the package checks and lintian on the
# arm64 package, and the operator's guide against the installed arm64 box.
#
# Left out: the fault and load runs (label "fault"). They count the
# service's threads and resident memory, which the emulator's own thread
# and memory change, and take about 6 minutes under emulation; the host
# build runs them. And the fleet test (label "fleet") and the real-engine
# test (label "box"), which check the playbooks on the controller and the
# box scripts on this machine's engine, not the service's code.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/build-arm64.sh
# The service binds port 8888: a private network namespace keeps it apart.
./scripts/isolated.sh ctest --test-dir build-arm64 --output-on-failure -j"$(nproc)" -LE "fault|fleet|box"
