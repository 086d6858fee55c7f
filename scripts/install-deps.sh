#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only when one
# is missing. Runs as root, or through sudo.
set -euo pipefail

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

packages=(build-essential cmake pkg-config libspdlog-dev libfmt-dev
          googletest libgtest-dev libgmock-dev curl procps iproute2
          clang libclang-rt-14-dev clang-format dpkg-dev lintian)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
