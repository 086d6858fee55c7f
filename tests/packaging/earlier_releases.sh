#!/usr/bin/env bash
# Builds the Debian packages of earlier releases from the repository's
# history, for the upgrade tests: each from its own commit in a scratch
# tree, for this machine's architecture. They are kept in CACHE_DIR, so
# only the first run of a clone builds them (about a minute each), and
# their paths are printed one a line, oldest first.
#
#   1.0.0  the box scripts as configuration files in /opt/skein_edge_updater
#   1.1.0  the box scripts under /etc/skein_edge_updater, linked from there
#   1.2.0  the same layout, with the settings file and the update script
#          changed (both configuration files then)
#
# Exits with status 77 when a release's commit is not in this clone (a
# shallow one), so that callers skip the upgrades and say why.
#
# Usage: earlier_releases.sh SOURCE_DIR CACHE_DIR
set -euo pipefail
source_dir=$1
cache=$2
releases=("1.0.0 e7f44fdbbdc4cdc9dbaf3d2538bea68d71fdd949"
          "1.1.0 ef31a354d268d48ef0f25d58a9df8c31db14e3d7"
          "1.2.0 b2e3798fd2b952afc2a78a435c29aae1fcabfdb1")
arch=$(dpkg --print-architecture)

mkdir -p "$cache"
# One builder at a time: test runs in several build trees share the cache.
exec 9>"$cache/.lock"
flock 9

for release in "${releases[@]}"; do
    read -r version commit <<<"$release"
    deb=$cache/skein-edge-updater_${version}_$arch.deb
    if [ ! -f "$deb" ]; then
        if ! git -C "$source_dir" cat-file -e "$commit^{commit}" 2>/dev/null; then
            echo "release $version is commit $commit, which this clone does not hold" \
                "(a shallow clone?)" >&2
            exit 77
        fi
        work=$(mktemp -d)
        git -C "$source_dir" archive "$commit" | tar -x -C "$work"
        if ! {
            cmake -S "$work" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
                -DBUILD_TESTING=OFF -DSKEIN_BUILD_BENCH=OFF &&
                cmake --build "$work/build" -j2 --target skein_edge_updater unique_id_writer &&
                cpack -G DEB --config "$work/build/CPackConfig.cmake" -B "$work/out"
        } >"$work/build.log" 2>&1; then
            cat "$work/build.log" >&2
            rm -rf "$work"
            exit 1
        fi
        mv "$work/out/skein-edge-updater_${version}_$arch.deb" "$deb"
        rm -rf "$work"
    fi
    echo "$deb"
done
