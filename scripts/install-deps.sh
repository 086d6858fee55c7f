#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only when one
# is missing. Runs as root, or through sudo.
#   ./scripts/install-deps.sh          this machine's build and tests
#   ./scripts/install-deps.sh arm64    and the cross build and emulation
#   ./scripts/install-deps.sh piuparts and the package's piuparts runs
set -euo pipefail

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

packages=(build-essential cmake pkg-config libspdlog-dev libfmt-dev
          googletest libgtest-dev libgmock-dev curl procps iproute2
          clang libclang-rt-14-dev clang-format dpkg-dev lintian devscripts nginx-light
          openssl ansible-core pyflakes3 shellcheck)

if [ "${1-}" = arm64 ]; then
    # Debian's cross compilers, the arm64 libraries beside this machine's
    # (multiarch) and the user-mode emulator that runs the arm64 tests.
    dpkg --print-foreign-architectures | grep -qx arm64 || "${as_root[@]}" dpkg --add-architecture arm64
    packages+=(crossbuild-essential-arm64 qemu-user-static libspdlog-dev:arm64 libfmt-dev:arm64
               libgtest-dev:arm64 libgmock-dev:arm64)
fi

if [ "${1-}" = piuparts ]; then
    packages+=(piuparts debootstrap)
fi

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
# Waits for the dpkg lock when another installation holds it.
apt_get=(apt-get -o DPkg::Lock::Timeout=900)
"${as_root[@]}" "${apt_get[@]}" update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" "${apt_get[@]}" install -y -qq \
    --no-install-recommends "${missing[@]}"
