#!/usr/bin/env bash
# Lets this x86-64 machine run arm64 programs as if they were its own: mounts
# binfmt_misc when needed and registers Debian's qemu-aarch64 user-mode
# emulator (qemu-user-static) with the kernel, unless it is already there.
# Then every arm64 executable runs through the emulator wherever it is
# started (by ctest, by a test that starts the service, by the service's
# own children), while sh, bash and the stub commands stay host programs.
# Needs root; the registration lasts until the machine restarts.
set -euo pipefail

binfmt=/proc/sys/fs/binfmt_misc
rule=/usr/lib/binfmt.d/qemu-aarch64.conf # shipped by qemu-user-static

if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-aarch64" ]; then
    # The rule's "F" flag makes the kernel hold the emulator open, so it
    # serves in other mount namespaces too.
    cat "$rule" >"$binfmt/register"
fi
grep -qx enabled "$binfmt/qemu-aarch64"
