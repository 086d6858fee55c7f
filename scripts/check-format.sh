#!/usr/bin/env bash
# Fails when a C or C++ file of the repository differs from .clang-format,
# or pyflakes or shellcheck (Debian's, from install-deps.sh) find fault with
# the fleet's Python, the scripts or the fleet's test and benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
git ls-files -z 'fleet/*.py' 'tests/fleet/*.py' | xargs -0 pyflakes3
git ls-files -z 'scripts/*.sh' 'tests/fleet/*.sh' bench/run_fleet_bench.sh .ci/run | xargs -0 shellcheck -x
echo "format: clean"
