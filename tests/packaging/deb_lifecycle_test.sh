#!/usr/bin/env bash
# Installs, upgrades, removes and purges the Debian package with dpkg
# itself, the way image builders do: into a scratch root, with the
# maintainer scripts run on this machine and DPKG_ROOT set (dpkg --root
# --force-script-chrootless). The scripts must work beneath the root and
# touch nothing else: the test runs in a private mount namespace with empty
# file systems over the places on this machine they could reach, checks
# that those stay empty, and stubs systemctl and deb-systemd-invoke, which
# must not be called at all. (deb-systemd-helper is the real one: it works
# beneath DPKG_ROOT.)
#
# Upgrades start from the packages of the earlier releases, built from the
# repository's history (earlier_releases.sh) for this machine's
# architecture; a cross build checks the rest.
#
# Usage: deb_lifecycle_test.sh CPACK BUILD_DIR ARCH SOURCE_DIR BOX_DIR CONFIG_DIR
set -u
cpack=$1 build=$2 arch=$3 source_dir=$4 box=$5 config_dir=$6
here=$(cd "$(dirname "$0")" && pwd)
. "$here/test_lib.sh"

# Places on this machine that the maintainer scripts of this package (or a
# helper they call) would write to if they ignored DPKG_ROOT.
guarded="$(dirname "$box") $config_dir /etc/systemd /var/lib/systemd"
if [ -z "${SKEIN_GUARDED_HOST-}" ]; then
    if ! unshare -m true 2>/dev/null; then
        echo "skipped: no private mount namespace here to keep this machine out of reach"
        finish
        exit
    fi
    exec unshare -m env SKEIN_GUARDED_HOST=1 bash "$0" "$@"
fi
# Those that do not exist here must not appear; the others are covered.
for dir in $guarded; do
    if [ -d "$dir" ]; then mount -t tmpfs guard "$dir"; fi
done
# And the scripts see a system that systemd runs, where they would start
# and stop the service if DPKG_ROOT did not stop them.
mount -t tmpfs guard /run && mkdir -p /run/systemd/system

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
make_stubs "$tmp/stubs" systemctl deb-systemd-invoke
scripts="Update_Skein_Edge.sh start_containers.sh"
service_unit=skein_edge_updater.service

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log"
    fail "cpack -G DEB builds the package"
    finish
    exit
fi
new=$(ls "$tmp"/out/*.deb)

# new_root NAME: an empty root with an empty dpkg database, as an image
# build starts; dpkg there is this machine's.
new_root() {
    root=$tmp/$1
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    touch "$root/var/lib/dpkg/status"
    [ "$arch" = "$(dpkg --print-architecture)" ] || dpkg --root="$root" --add-architecture "$arch"
}

# in_root DPKG_ARGS...: dpkg on the root; the libraries the package needs
# are not there.
in_root() {
    echo "== dpkg $*" >>"$tmp/dpkg.log"
    dpkg --root="$root" --force-script-chrootless --force-depends "$@" >>"$tmp/dpkg.log" 2>&1
}

# inside PATH: PATH followed through its links as the root's own programs
# would, links to absolute paths staying in the root.
inside() {
    local path=$1 target
    for _ in 1 2 3 4 5 6 7 8; do
        [ -L "$root$path" ] || break
        target=$(readlink "$root$path")
        case $target in
            /*) path=$target ;;
            *) path=$(dirname "$path")/$target ;;
        esac
    done
    echo "$root$path"
}

# box_scripts_run MOMENT: both box scripts, as the service finds them
# beside itself, are executable files there.
box_scripts_run() {
    local script
    for script in $scripts; do
        check "$1: $box/$script can run" test -f "$(inside "$box/$script")" -a \
            -x "$(inside "$box/$script")"
    done
}

# forget_old_calls: the earlier releases' scripts ignore DPKG_ROOT and
# call the (stubbed) systemctl; only this package's scripts are judged.
forget_old_calls() { rm -f "$tmp/stubs/calls"; }

# left_files: every file and link left in the root beyond dpkg's database.
left_files() {
    (cd "$root" && find . -path ./var/lib/dpkg -prune -o \( -type f -o -type l \) -print | sort)
}

# ---- Install, remove, install again, purge ----

new_root fresh
in_root -i "$new"
check_equal "a new installation succeeds" 0 $?
box_scripts_run "installed"
for unit in $service_unit skein_unique_id_writer.service; do
    check "$unit is enabled in the root" \
        test -L "$root/etc/systemd/system/multi-user.target.wants/$unit"
done
# The state of a box that has run: versions, pending updates, logs, and
# the identifier, which purge keeps.
state=$root$box
mkdir -p "$state/installation_details" "$state/update_logs" "$state/logs/update_logs" \
    "$root$(dirname "$box")/tarn_cnf"
for file in installation_details/version.info installation_details/.status.info.spare \
    .pending_updates .pending_updates.tmp .pending_updates.invalid \
    logs/update_logs/skein_edge_updater_100.log; do
    echo 1 >"$state/$file"
done
echo "TARN_SKEIN_UNIQUE_ID=X" >"$root$(dirname "$box")/tarn_cnf/skein_cloud_config.cnf"
in_root -r skein-edge-updater
check_equal "removal succeeds" 0 $?
check "removal keeps the box's state" test -s "$state/installation_details/version.info"
check "removal keeps the box scripts" test -f "$root$config_dir/Update_Skein_Edge.sh"
in_root -i "$new"
check_equal "installing again after removal succeeds" 0 $?
box_scripts_run "installed again"
in_root -P skein-edge-updater
check_equal "purge succeeds" 0 $?
check_equal "purge leaves only the box identifier" \
    ".$(dirname "$box")/tarn_cnf/skein_cloud_config.cnf" "$(left_files)"
check "purge leaves $(dirname "$box") in place" test -d "$root$(dirname "$box")"

# ---- Upgrades from the earlier releases ----

built=other-architecture
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
    built=0
    releases=$("$here/earlier_releases.sh" "$source_dir" "$source_dir/build-releases") ||
        built=$?
fi
if [ "$built" = other-architecture ]; then
    echo "skipped: upgrades (the earlier releases are built for $(dpkg --print-architecture) only)"
elif [ "$built" = 77 ]; then
    echo "skipped: upgrades (the earlier releases cannot be built from this clone's history)"
elif [ "$built" != 0 ]; then
    fail "the earlier releases are built"
else
    read -r -d '' old_layout previous <<<"$releases"

    # The layout that kept the box scripts in the box directory. The
    # operator edited the update script and replaced the start script by a
    # relative link to a script of their own.
    new_root from-1.0.0
    in_root -i "$old_layout"
    forget_old_calls
    echo "# edited by the operator" >>"$root$box/Update_Skein_Edge.sh"
    edited=$(cat "$root$box/Update_Skein_Edge.sh")
    mkdir -p "$root/srv"
    printf '#!/bin/sh\necho started by the operator\n' >"$root/srv/start.sh"
    chmod +x "$root/srv/start.sh"
    ln -sfn ../../srv/start.sh "$root$box/start_containers.sh"
    in_root --unpack "$new"
    check_equal "1.0.0: the new package unpacks" 0 $?
    box_scripts_run "1.0.0, unpacked"

    # A stop between the two moves that make the kept script the box's:
    # the first move is refused once.
    cat >"$tmp/stubs/mv" <<'STUB'
#!/bin/sh
case "$2" in *.dpkg-migrate) exit 1 ;; esac
exec /bin/mv "$@"
STUB
    chmod +x "$tmp/stubs/mv"
    in_root --configure -a
    check "1.0.0: configure stopped in the middle fails" test $? -ne 0
    box_scripts_run "1.0.0, stopped in the middle"
    rm "$tmp/stubs/mv"
    in_root --configure -a
    check_equal "1.0.0: configure run again succeeds" 0 $?
    box_scripts_run "1.0.0, configured"
    check_equal "1.0.0: the edited update script is the box's" "$edited" \
        "$(cat "$(inside "$box/Update_Skein_Edge.sh")")"
    check_equal "1.0.0: the start script still leads to the operator's" "/srv/start.sh" \
        "$(readlink "$root$config_dir/start_containers.sh")"
    for script in $scripts; do
        check "1.0.0: the packaged $script is kept beside it" \
            test -f "$root$config_dir/$script.dpkg-dist"
    done
    check_equal "1.0.0: no diversion is left" "" "$(dpkg-divert --root="$root" --list)"
    in_root -P skein-edge-updater
    check_equal "1.0.0: purge after the upgrade leaves nothing of the package" "" \
        "$(left_files | grep -v '^\./srv/')"

    # The previous release, with an edited script under the configuration
    # directory.
    new_root from-1.1.0
    in_root -i "$previous"
    forget_old_calls
    echo "# edited by the operator" >>"$root$config_dir/start_containers.sh"
    edited=$(cat "$root$config_dir/start_containers.sh")
    in_root --unpack "$new"
    check_equal "1.1.0: the new package unpacks" 0 $?
    box_scripts_run "1.1.0, unpacked"
    # The package changes the start script too: dpkg would ask which to
    # keep, and an unattended upgrade keeps the edited one.
    in_root --force-confold --configure -a
    check_equal "1.1.0: configure succeeds" 0 $?
    box_scripts_run "1.1.0, configured"
    check_equal "1.1.0: the edited start script is kept" "$edited" \
        "$(cat "$root$config_dir/start_containers.sh")"
fi

# ---- Nothing reached this machine ----

check_equal "systemctl and deb-systemd-invoke were never called" "" \
    "$(cat "$tmp/stubs/calls" 2>/dev/null)"
for dir in $guarded; do
    check_equal "nothing was written to $dir here" "" "$(ls -A "$dir" 2>/dev/null)"
done
if [ "$failed" -ne 0 ]; then
    echo "---- dpkg output"
    cat "$tmp/dpkg.log"
fi

finish
