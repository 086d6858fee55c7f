#!/usr/bin/env bash
# Tests the package of this machine's architecture with piuparts (Debian's
# install, upgrade and purge tester) in a Debian 12 chroot made with
# debootstrap from this machine's Debian mirror:
#   1. install and purge, and the upgrade from the previous release (1.2.0);
#   2. install, remove, install again, purge (--install-remove-install);
#   3. the upgrades from 1.1.0, whose box scripts and settings were
#      configuration files under /etc, and from 1.0.0, which kept the box
#      scripts in /opt.
# Each run compares the chroot before and after: nothing may be left,
# missing or changed, and no symbolic link may dangle.
#
# Builds the package in build/ (configured as ./scripts/test.sh does when it
# is not there yet) and the earlier releases in build-releases/. The base
# chroot is made once and kept as build/piuparts/bookworm.tar.gz (about
# 70 MB, a minute to make). Runs outside any private network namespace:
# debootstrap and piuparts fetch from the mirror. Where no chroot can be
# made (no mirror, no mounts), it says so and skips.
set -euo pipefail
cd "$(dirname "$0")/.."

work=build/piuparts
base=$work/bookworm.tar.gz
suite=bookworm

./scripts/install-deps.sh piuparts
mkdir -p "$work"

# ---- The packages ----

if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKEIN_WERROR=ON >"$work/build.log"
fi
cmake --build build -j"$(nproc)" --target skein_edge_updater unique_id_writer >>"$work/build.log"
rm -rf "$work/new"
cpack -G DEB --config build/CPackConfig.cmake -B "$work/new" >>"$work/build.log"
new=$(ls "$PWD/$work"/new/*.deb)
built=0
releases=$(tests/packaging/earlier_releases.sh "$PWD" "$PWD/build-releases") || built=$?
[ "$built" -eq 0 ] || [ "$built" -eq 77 ] || exit "$built"
earlier=()
[ "$built" -ne 0 ] || mapfile -t earlier <<<"$releases"

# ---- The chroot ----

# The first Debian mirror that this machine's apt sources name for the suite
# (one-line or deb822 sources).
mirror=$({ cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } | awk -v suite="$suite" '
        function stanza_end() {
            if (uri != "" && named) { print uri; found = 1; exit }
            uri = ""; named = 0
        }
        /^deb / {
            line = $0; sub(/\[[^]]*\] */, "", line); split(line, word, " ")
            if (word[3] == suite) { print word[2]; found = 1; exit }
        }
        /^URIs:/ { uri = $2 }
        /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) named = 1 }
        /^[[:space:]]*$/ { stanza_end() }
        END { if (!found) stanza_end() }')
skip() {
    echo "skipped: piuparts ($*)"
    exit 0
}
[ -n "$mirror" ] || skip "no Debian mirror for $suite in this machine's apt sources"
if [ ! -f "$base" ]; then
    chroot=$(mktemp -d)
    echo "making the $suite chroot from $mirror"
    if ! debootstrap --variant=minbase --include=eatmydata --components=main "$suite" "$chroot" \
        "$mirror" >"$work/debootstrap.log" 2>&1; then
        tail -5 "$work/debootstrap.log"
        rm -rf "$chroot"
        skip "no $suite chroot could be made here: see $work/debootstrap.log"
    fi
    tar -C "$chroot" -czf "$base.tmp" . && mv "$base.tmp" "$base"
    rm -rf "$chroot"
fi

# ---- Runs ----

# repository DEB: a local apt repository holding DEB alone, for piuparts to
# install the earlier release from; its directory is printed.
repository() {
    local dir
    dir=$PWD/$work/repository-$(basename "$1" .deb)
    rm -rf "$dir" && mkdir -p "$dir"
    cp "$1" "$dir/"
    (cd "$dir" && dpkg-scanpackages . /dev/null >Packages 2>/dev/null)
    echo "$dir"
}

passed=0
failed=0
# run NAME PIUPARTS_OPTIONS...: one piuparts run on the new package.
run() {
    local name=$1 log=$work/$1.log
    shift
    rm -f "$log" # piuparts appends
    if piuparts --basetgz="$base" --distribution="$suite" --mirror="$mirror main" \
        --fail-on-broken-symlinks --log-file="$log" "$@" "$new" >/dev/null 2>&1; then
        passed=$((passed + 1))
        echo "ok: piuparts $name"
    else
        failed=$((failed + 1))
        echo "FAILED: piuparts $name (log: $log)"
        grep -E -A8 'FAIL|ERROR' "$log" | grep -v DEBUG | head -40
    fi
    grep -E '(PASS|FAIL):' "$log" | sed 's/^[0-9m.s]* /    /'
}

# upgrade_from DEB NAME PIUPARTS_OPTIONS...: the run NAME, which installs
# DEB's release from a local repository first.
upgrade_from() {
    local repo
    repo=$(repository "$1")
    shift
    run "$@" --bindmount="$repo" --extra-repo="deb [trusted=yes] file://$repo ./"
}

run install-remove-install --install-remove-install --no-upgrade-test
if [ ${#earlier[@]} -eq 0 ]; then
    echo "skipped: the upgrades from the earlier releases (their commits are not in this clone)"
    run install-purge --no-upgrade-test
else
    # Oldest first: the last is the previous release.
    upgrade_from "${earlier[2]}" install-purge-and-upgrade-from-1.2.0
    upgrade_from "${earlier[1]}" upgrade-from-1.1.0 --no-install-purge-test
    upgrade_from "${earlier[0]}" upgrade-from-1.0.0 --no-install-purge-test
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
