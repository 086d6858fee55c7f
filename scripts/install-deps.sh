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
          openssl ansible-core
          # box.real_engine runs its own dockerd and registry in its private
          # namespaces, on images it makes from busybox.
          docker.io docker-compose docker-registry busybox-static)
# PACKAGE:UNIT for the services those bring (containerd comes with
# docker.io), which would be enabled and started: this machine's own engine
# and registry stay off.
engine_units=(containerd:containerd.service docker.io:docker.service docker.io:docker.socket
              docker-registry:docker-registry.service)

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

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# other_engine: a package of Docker's own engine that docker.io would replace.
other_engine() {
    local package
    for package in docker-ce docker-ce-cli containerd.io; do
        if installed $package; then echo $package && return; fi
    done
}

missing=()
for package in "${packages[@]}"; do
    installed "$package" && continue
    if [ "$package" = docker.io ] && [ -n "$(other_engine)" ]; then
        echo "install-deps: not installing docker.io, which would replace $(other_engine);" \
            "box.real_engine needs it" >&2
        continue
    fi
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# Packages whose services this installation brings in, before it.
new_services=()
for entry in "${engine_units[@]}"; do
    installed "${entry%%:*}" || new_services+=("${entry#*:}")
done

# While the packages install, policy-rc.d refuses every service start
# (unless the machine already has its own policy).
policy=/usr/sbin/policy-rc.d
own_policy=no
if [ ! -e "$policy" ]; then
    own_policy=yes
    trap '"${as_root[@]}" rm -f "$policy"' EXIT
    printf '#!/bin/sh\n# Left by install-deps.sh while it runs: start no service.\nexit 101\n' |
        "${as_root[@]}" tee "$policy" >/dev/null
    "${as_root[@]}" chmod 755 "$policy"
fi

echo "Installing: ${missing[*]}"
# Waits for the dpkg lock when another installation holds it.
apt_get=(apt-get -o DPkg::Lock::Timeout=900)
"${as_root[@]}" "${apt_get[@]}" update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" "${apt_get[@]}" install -y -qq \
    --no-install-recommends "${missing[@]}"

# Not enabled either: they would start at the next boot. dpkg's helpers keep
# an administrator's disable across upgrades.
for unit in "${new_services[@]}"; do
    if command -v systemctl >/dev/null; then
        "${as_root[@]}" systemctl disable --quiet --no-reload "$unit" || true
    fi
    init_script=${unit%.service}
    if [ "$init_script" != "$unit" ] && [ -e "/etc/init.d/$init_script" ]; then
        "${as_root[@]}" update-rc.d "$init_script" disable >/dev/null 2>&1 || true
    fi
done
[ $own_policy = no ] || { "${as_root[@]}" rm -f "$policy" && trap - EXIT; }
