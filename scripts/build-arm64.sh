#!/usr/bin/env bash
# Builds both programs, their tests and the Debian package for 64-bit ARM
# boxes on this x86-64 Debian 12 machine, with Debian's cross compilers and
# arm64 libraries: build-arm64/skein_edge_updater,
# build-arm64/unique_id_writer and build-arm64/skein-edge-updater_*_arm64.deb.
# Installs what is missing and registers the arm64 emulator, which the
# build already needs: it runs each test program to list its cases.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh arm64
./scripts/arm64-emulation.sh
cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKEIN_WERROR=ON -DSKEIN_BUILD_BENCH=OFF
cmake --build build-arm64 -j"$(nproc)"
cpack -G DEB --config build-arm64/CPackConfig.cmake -B build-arm64 >build-arm64/cpack.log
ls build-arm64/*_arm64.deb
