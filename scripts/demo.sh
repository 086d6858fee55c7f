#!/usr/bin/env bash
# Builds the service and runs it on a demo box under build/demo-box: the
# example scripts beside it, and stub `docker` and `reboot` first on PATH,
# so nothing on this machine is stopped or rebooted.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stub-commands.sh

./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target skein_edge_updater unique_id_writer

box=$PWD/build/demo-box
mkdir -p "$box/bin"
cp build/skein_edge_updater examples/Update_Skein_Edge.sh examples/start_containers.sh \
    examples/compose_health.sh "$box/"
use_stub_commands "$box/bin" demo

echo "Demo box: $box (stop with Ctrl-C)"
echo "Try: curl -s http://127.0.0.1:8888/status"
exec "$box/skein_edge_updater"
