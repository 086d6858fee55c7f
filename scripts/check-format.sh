#!/usr/bin/env bash
# Fails when a C or C++ file of the repository differs from .clang-format,
# or pyflakes or shellcheck (Debian's, from install-deps.sh) find fault with
# any of its Python or shell scripts.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
git ls-files -z '*.py' | xargs -0 pyflakes3
git ls-files -z '*.sh' .ci/run packaging/cli-plugins/docker-compose |
    xargs -0 shellcheck -x --source-path=SCRIPTDIR
echo "format: clean"
