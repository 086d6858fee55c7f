#!/usr/bin/env bash
# Installs, upgrades, removes and purges the Debian package with dpkg and
# apt themselves, in two settings:
#
#   - as image builders do: into a scratch root, with the maintainer scripts
#     run on this machine and DPKG_ROOT set (dpkg --root
#     --force-script-chrootless). The scripts must work beneath the root and
#     touch nothing else: the test runs in a private mount namespace with
#     empty file systems over the places on this machine they could reach,
#     checks that those stay empty, and stubs systemctl and
#     deb-systemd-invoke, which must not be called at all. (deb-systemd-helper
#     is the real one: it works beneath DPKG_ROOT.)
#   - as a box gets its upgrades: on a copy-on-write copy of this machine
#     (an overlay over its root, mounted in the test's private mount
#     namespace, so that every write lands in the test's memory), entered
#     with chroot, with no terminal and stdin at its end, as an unattended
#     upgrade runs. There the scripts see a system that systemd runs;
#     systemctl and deb-systemd-invoke are stubs that record their calls.
#     The upgrades start from each earlier release, built from the
#     repository's history (earlier_releases.sh) for this machine's
#     architecture, with the operator's files edited, replaced by links and
#     untouched; and upgrades stopped, cut short or failed, then purged.
#
# Usage: deb_lifecycle_test.sh CPACK BUILD_DIR ARCH SOURCE_DIR BOX_DIR CONFIG_DIR
set -u
cpack=$1 build=$2 arch=$3 source_dir=$4 box=$5 config_dir=$6
here=$(cd "$(dirname "$0")" && pwd)
. "$here/test_lib.sh"

# Places on this machine that the maintainer scripts of this package (or a
# helper they call) would write to if they ignored DPKG_ROOT.
guarded="$(dirname "$box") $config_dir /etc/default /etc/systemd /var/lib/systemd"
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
box_mounts=()
cleanup() {
    local mount
    for mount in "${box_mounts[@]}"; do umount -R -l "$mount"; done
    rm -rf --one-file-system "$tmp"
}
trap cleanup EXIT
make_stubs "$tmp/stubs" systemctl deb-systemd-invoke
# The box scripts, as the service finds them beside itself (the example
# scripts source compose_health.sh from there), and those of the earlier
# releases.
scripts="Update_Skein_Edge.sh start_containers.sh compose_health.sh"
earlier_scripts="Update_Skein_Edge.sh start_containers.sh"
settings=/etc/default/skein_edge_updater
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

# left_files: every file and link left in the root beyond dpkg's database.
left_files() {
    (cd "$root" && find . -path ./var/lib/dpkg -prune -o \( -type f -o -type l \) -print | sort)
}

# ---- Into an image: install, remove, install again, purge ----

new_root fresh
in_root -i "$new"
check_equal "a new installation succeeds" 0 $?
box_scripts_run "installed"
check "the settings file is in place" test -f "$root$settings"
for unit in $service_unit skein_unique_id_writer.service; do
    check "$unit is enabled in the root" \
        test -L "$root/etc/systemd/system/multi-user.target.wants/$unit"
done
# The state of a box that has run: versions, pending updates, logs, and
# the identifier, which purge keeps.
state=$root$box
mkdir -p "$state/installation_details" "$state/update_logs" "$state/logs/update_logs"
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

check_equal "systemctl and deb-systemd-invoke were never called" "" \
    "$(cat "$tmp/stubs/calls" 2>/dev/null)"
for dir in $guarded; do
    check_equal "nothing was written to $dir here" "" "$(ls -A "$dir" 2>/dev/null)"
done

# ---- On a box: upgrades ----

# This machine's root file system as it is, read-only: the boxes below are
# overlays on it. (Mounted in file systems of the test's own, like the
# boxes, which the removal of the test's files leaves alone.)
machine=$tmp/machine/root
if ! { mkdir "$tmp/machine" && mount -t tmpfs machine "$tmp/machine" && box_mounts+=("$tmp/machine") &&
    mkdir "$machine" && mount --bind / "$machine" && mount -o remount,bind,ro "$machine"; }; then
    fail "this machine's root is mounted read-only for the boxes"
    finish
    exit
fi
# The boxes must start without the package.
if dpkg-query -W skein-edge-updater >/dev/null 2>&1 || [ -e "$machine$box" ] || [ -e "$machine$config_dir" ]; then
    echo "skipped: upgrades (this machine has the package, $box or $config_dir of its own)"
    finish
    exit
fi

# new_box NAME: a copy of this machine to install on, at $root: an
# overlay of its root whose changes ($changes) live in a file system of
# this test's, with its own /proc, /run (saying that systemd runs), /tmp,
# a few device nodes and the packages in /var/cache/skein. The box has the
# libraries the package needs when this machine has them. Its systemctl
# and deb-systemd-invoke are stubs in place of the real ones (apt runs
# dpkg with a PATH of its own). The test ends when the box cannot be made.
new_box() {
    local layers=$tmp/$1 dir name
    if ! { mkdir "$layers" && mount -t tmpfs box "$layers" && box_mounts+=("$layers") &&
        root=$layers/root changes=$layers/changes && mkdir "$changes" "$layers/work" "$root" &&
        mount -t overlay overlay -o "lowerdir=$machine,upperdir=$changes,workdir=$layers/work" "$root" &&
        mount -t proc proc "$root/proc"; }; then
        fail "the box $1 is made"
        finish
        exit
    fi
    for dir in run tmp dev var/lib/dpkg/updates; do mount -t tmpfs box "$root/$dir"; done
    mkdir -p "$root/run/systemd/system" "$root/dev/pts" "$root/var/cache/skein" "$root/srv"
    mknod -m 666 "$root/dev/null" c 1 3 && mknod -m 666 "$root/dev/urandom" c 1 9
    mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
    ln -s pts/ptmx "$root/dev/ptmx"
    cp "$new" ${releases[@]+"${releases[@]}"} "$root/var/cache/skein/"
    # apt fetches nothing: what the package recommends (an engine, compose)
    # comes only when this machine has it already.
    echo 'APT::Install-Recommends "false";' >"$root/etc/apt/apt.conf.d/99skein-box"
    for name in systemctl deb-systemd-invoke; do
        rm -f "$root/usr/bin/$name"
        printf '#!/bin/sh\necho "%s $*" >>/var/log/skein-calls\n' "$name" >"$root/usr/bin/$name"
        chmod +x "$root/usr/bin/$name"
    done
}

# in_box COMMAND...: COMMAND in the box, as root, as an unattended upgrade
# runs: no terminal, stdin at its end, no question to be answered.
in_box() {
    echo "== $*" >>"$tmp/box.log"
    chroot "$root" env -i PATH=/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C \
        DEBIAN_FRONTEND=noninteractive setsid "$@" </dev/null >>"$tmp/box.log" 2>&1
}

# package VERSION: the package of VERSION as the box has it.
package() { echo "/var/cache/skein/skein-edge-updater_${1}_$arch.deb"; }

# box_calls: the calls to the stubs since the last look.
box_calls() { cat "$root/var/log/skein-calls" 2>/dev/null; rm -f "$root/var/log/skein-calls"; }

# Watching that the service could run the scripts of the earlier release
# at every moment: from watch_scripts until stop_watching, in the box, 200
# looks a second for at most 60 s; stop_watching prints what was missing
# when, or that the watcher never looked.
watch_scripts() {
    rm -f "$root/tmp/watched" "$root/tmp/looked"
    # shellcheck disable=SC2016 # expanded by the box's shell
    chroot "$root" sh -c 'for look in $(seq 12000); do
            [ -e /tmp/watched ] && break
            for script in '"$earlier_scripts"'; do
                [ -f "'"$box"'/$script" ] && [ -x "'"$box"'/$script" ] || echo "look $look: $script"
            done
            touch /tmp/looked
            sleep 0.005
        done' >"$tmp/watch.log" 2>&1 &
    watcher=$!
}
stop_watching() {
    touch "$root/tmp/watched"
    wait "$watcher"
    cat "$tmp/watch.log"
    [ -e "$root/tmp/looked" ] || echo "the watcher never looked"
}

# left_changes: what is left on the box beyond the package tools' own
# records (dpkg's and apt's databases, caches and logs), this test's stubs,
# apt setting and packages, and the operator's files in /srv: every file, link or
# removal, and every directory this machine does not have (the overlay
# copies one of the machine's up for each change beneath it).
left_changes() {
    local path
    (cd "$changes" && find . | sort) | while read -r path; do
        [ -d "$changes/$path" ] && [ -d "$machine/$path" ] || echo "$path"
    done | grep -v -e '^\./var/lib/dpkg/' -e '^\./var/lib/apt/' -e '^\./var/cache/' -e '^\./var/log/' \
        -e '^\./usr/bin/systemctl$' -e '^\./usr/bin/deb-systemd-invoke$' -e '^\./srv\(/\|$\)' \
        -e '^\./etc/apt/apt.conf.d/99skein-box$'
}

# operate FILE STATE: puts the operator's FILE into STATE: "edited" (a line
# added), "linked" (replaced by a relative link to an edited copy in /srv),
# "replaced" (for a box script: the service's link to it replaced by an
# edited copy) or "untouched".
operate() {
    local file=$1 name
    name=$(basename "$1")
    local copy=/srv/$name link=$box/$name
    case $2 in
        edited) echo "# edited by the operator" >>"$root$file" ;;
        linked)
            cp "$root$file" "$root$copy" && echo "# the operator's own" >>"$root$copy"
            ln -sfn "$(realpath -m --relative-to="$(dirname "$file")" "$copy")" "$root$file"
            ;;
        replaced)
            { text_of "$link" && echo "# in place of the link"; } >"$tmp/replacing"
            rm "$root$link" && install -m 755 "$tmp/replacing" "$root$link"
            ;;
    esac
}

# purge_leaves_nothing LABEL PURGE...: the PURGE command purges the package
# off the box, and leaves nothing of it.
purge_leaves_nothing() {
    local label=$1
    shift
    in_box "$@" skein-edge-updater
    check_equal "$label: purge succeeds" 0 $?
    check_equal "$label: purge leaves nothing" "" "$(left_changes)"
}

# text_of FILE: what the box reads at FILE, links followed.
text_of() { chroot "$root" cat "$1" 2>&1; }

built=other-architecture
releases=()
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
    built=0
    listed=$("$here/earlier_releases.sh" "$source_dir" "$source_dir/build-releases") || built=$?
    mapfile -t releases <<<"$listed"
fi
if [ "$built" = other-architecture ]; then
    echo "skipped: upgrades (the earlier releases are built for $(dpkg --print-architecture) only)"
    finish
    exit
elif [ "$built" = 77 ]; then
    echo "skipped: upgrades (the earlier releases cannot be built from this clone's history)"
    finish
    exit
elif [ "$built" != 0 ]; then
    fail "the earlier releases are built"
    finish
    exit
fi
cp "$new" "$tmp/skein-edge-updater_new_$arch.deb"
new=$tmp/skein-edge-updater_new_$arch.deb

# The unattended upgrades: from each release, each of the operator's files
# in one of the states of operate (1.0.0 had no settings file), and pending
# updates that must come through byte for byte.
#   release update-script start-script settings
upgrades=("1.0.0 edited linked -"
          "1.1.0 untouched edited linked"
          "1.2.0 linked replaced edited"
          "1.2.0 replaced untouched untouched")
printf 'running 6c1f0e2a 4242 981234 1.4.0\nqueued 1.5.0\nqueued 1.5.1 \n' >"$tmp/pending"
# The text the service reads at each of its files, before an upgrade.
declare -A before
for upgrade in "${upgrades[@]}"; do
    read -r release update start settings_state <<<"$upgrade"
    name="$release ($update, $start, settings $settings_state)"
    new_box "box-$release-$update"
    in_box apt-get install -y "$(package "$release")"
    check_equal "$name: the release installs" 0 $?
    # 1.0.0 kept the box scripts in the service's directory.
    operator_dir=$config_dir
    [ "$release" = 1.0.0 ] && operator_dir=$box
    operate "$operator_dir/Update_Skein_Edge.sh" "$update"
    operate "$operator_dir/start_containers.sh" "$start"
    [ "$settings_state" = - ] || operate "$settings" "$settings_state"
    cp "$tmp/pending" "$root$box/.pending_updates"
    before=()
    for file in "$box/Update_Skein_Edge.sh" "$box/start_containers.sh" "$settings"; do
        before[$file]=$(text_of "$file")
    done
    box_calls >/dev/null

    watch_scripts
    in_box apt-get install -y "$(package new)"
    check_equal "$name: the unattended upgrade ends without a question" 0 $?
    check_equal "$name: the service could run its scripts at every moment" "" "$(stop_watching)"
    # shellcheck disable=SC2016 # dpkg-query's fields
    check_equal "$name: the package is configured" "install ok installed $(dpkg-deb -f "$new" Version)" \
        "$(chroot "$root" dpkg-query -W -f='${Status} ${Version}' skein-edge-updater)"
    check "$name: the service is restarted" \
        has_line "$(box_calls)" "deb-systemd-invoke restart $service_unit"
    for file in "$box/Update_Skein_Edge.sh" "$box/start_containers.sh"; do
        check_equal "$name: the service runs the same $(basename "$file")" "${before[$file]}" \
            "$(text_of "$file")"
    done
    if [ "$settings_state" = - ]; then
        check "$name: the default settings are installed" \
            cmp "$root$settings" "$root/usr/share/skein-edge-updater/skein_edge_updater.default"
    else
        check_equal "$name: the settings are the same" "${before[$settings]}" "$(text_of "$settings")"
    fi
    for file in "$config_dir/Update_Skein_Edge.sh:$update" "$config_dir/start_containers.sh:$start" \
        "$settings:$settings_state"; do
        [ "${file#*:}" = linked ] || continue
        check_equal "$name: ${file%:*} still leads to the operator's file" \
            "/srv/$(basename "${file%:*}")" "$(chroot "$root" readlink -f "${file%:*}")"
    done
    check "$name: the pending updates are kept byte for byte" cmp "$tmp/pending" "$root$box/.pending_updates"
    purge_leaves_nothing "$name" apt-get purge -y
done

# box_scripts_run_in_box MOMENT [SCRIPTS]: box_scripts_run, on the box, for
# SCRIPTS (all of them when not given).
box_scripts_run_in_box() {
    local script
    for script in ${2:-$scripts}; do
        check "$1: $box/$script can run" chroot "$root" test -f "$box/$script" -a -x "$box/$script"
    done
}

# From 1.0.0, stopped between the two moves that make the kept script the
# box's (the first move is refused once), then configured again. The
# unedited update script gives way to the packaged default.
new_box box-stopped
in_box apt-get install -y "$(package 1.0.0)"
operate "$box/start_containers.sh" edited
edited=$(text_of "$box/start_containers.sh")
in_box dpkg --unpack "$(package new)"
check_equal "1.0.0, stopped: the new package unpacks" 0 $?
box_scripts_run_in_box "1.0.0, unpacked" "$earlier_scripts"
# shellcheck disable=SC2016 # the stub's own arguments
printf '#!/bin/sh\ncase "$2" in *.dpkg-migrate) exit 1 ;; esac\nexec /bin/mv "$@"\n' \
    >"$root/usr/local/sbin/mv"
chmod +x "$root/usr/local/sbin/mv"
in_box dpkg --configure -a
check "1.0.0, stopped: configure stopped in the middle fails" test $? -ne 0
box_scripts_run_in_box "1.0.0, stopped in the middle" "$earlier_scripts"
rm "$root/usr/local/sbin/mv"
in_box dpkg --configure -a
check_equal "1.0.0, stopped: configure run again succeeds" 0 $?
box_scripts_run_in_box "1.0.0, configured"
check_equal "1.0.0, stopped: the edited start script is the box's" "$edited" \
    "$(text_of "$config_dir/start_containers.sh")"
check "1.0.0, stopped: the unedited update script gave way to the default" \
    cmp "$root$config_dir/Update_Skein_Edge.sh" "$root/usr/share/skein-edge-updater/Update_Skein_Edge.sh"
check_equal "1.0.0, stopped: no diversion is left" "" "$(chroot "$root" dpkg-divert --list 'skein*')"

# From 1.1.0 whose operator put a file in place of a script's link, cut
# short after the unpack, then purged.
new_box box-cut-short
in_box apt-get install -y "$(package 1.1.0)"
operate "$config_dir/start_containers.sh" replaced
in_box dpkg --unpack "$(package new)"
check_equal "1.1.0, cut short: the new package unpacks" 0 $?
purge_leaves_nothing "1.1.0, cut short" dpkg --purge

# From 1.0.0 with an edited script, the unpack failing (a read-only
# directory where the package puts files): the box keeps 1.0.0 and its
# scripts, and purge leaves nothing.
new_box box-failed
in_box apt-get install -y "$(package 1.0.0)"
operate "$box/Update_Skein_Edge.sh" edited
edited=$(text_of "$box/Update_Skein_Edge.sh")
read_only=$root/usr/share/skein-edge-updater
mkdir "$read_only" && mount -t tmpfs -o ro box "$read_only"
in_box dpkg --install "$(package new)"
check "1.0.0, failed: the upgrade fails" test $? -ne 0
check_equal "1.0.0, failed: the box keeps its edited update script" "$edited" \
    "$(text_of "$box/Update_Skein_Edge.sh")"
umount "$read_only" && rmdir "$read_only"
purge_leaves_nothing "1.0.0, failed" dpkg --purge

# Back to 1.2.0 from a box installed with the new package, with the
# guide's command: 1.2.0 ships the operator's files as configuration files,
# which the box has already.
new_box box-back
in_box apt-get install -y "$(package new)"
operate "$settings" edited
operate "$config_dir/start_containers.sh" edited
for file in "$box/start_containers.sh" "$settings"; do
    before[$file]=$(text_of "$file")
done
box_calls >/dev/null
in_box apt-get install -y --allow-downgrades -o Dpkg::Options::=--force-confdef \
    -o Dpkg::Options::=--force-confold "$(package 1.2.0)"
check_equal "back to 1.2.0: the downgrade ends without a question" 0 $?
check "back to 1.2.0: the service is restarted" \
    has_line "$(box_calls)" "deb-systemd-invoke restart $service_unit"
for file in "$box/start_containers.sh" "$settings"; do
    check_equal "back to 1.2.0: $file is the same" "${before[$file]}" "$(text_of "$file")"
done
in_box apt-get purge -y skein-edge-updater
check_equal "back to 1.2.0: purge leaves only the box script 1.2.0 never knew" \
    "./etc/skein_edge_updater"$'\n'"./etc/skein_edge_updater/compose_health.sh" "$(left_changes)"

if [ "$failed" -ne 0 ]; then
    echo "---- dpkg output"
    cat "$tmp/dpkg.log" "$tmp/box.log"
fi

finish
