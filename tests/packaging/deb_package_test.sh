#!/usr/bin/env bash
# Builds the Debian package and its debug-symbol package from the build
# tree twice, checks that both builds give the same bytes, unpacks them
# into a temporary root and checks what a box gets: the files and their
# modes, hardened and stripped programs whose symbols are in the debug
# package, the declared dependencies, the systemd units and how far they
# confine the service, and maintainer scripts that put the operator's files
# in place, enable the units and harm nothing where systemd does not run;
# then runs lintian on both packages. ARCH is the Debian architecture the
# build is for, so the same checks serve a native and a cross build.
# HARDENED says whether the build has the hardening flags (not Debug or
# sanitizer builds).
#
# Usage: deb_package_test.sh CPACK BUILD_DIR ARCH BOX_DIR CONFIG_DIR UNIT_DIR DOC_DIR DEFAULTS_DIR HARDENED
set -u
cpack=$1 build=$2 arch=$3 box=$4 config_dir=$5 unit_dir=$6 doc_dir=$7 defaults_dir=$8 hardened=$9
here=$(cd "$(dirname "$0")" && pwd)
. "$here/test_lib.sh"

service_unit=skein_edge_updater.service
provisioning_unit=skein_unique_id_writer.service
cloud_config_dir=$(realpath -m "$box/../tarn_cnf")
environment_file=/etc/default/skein_edge_updater
box_scripts="Update_Skein_Edge.sh start_containers.sh compose_health.sh"
compose_plugin=/usr/lib/docker/cli-plugins/docker-compose

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# ---- Build and unpack ----

# The second build under another umask and, being later, another time.
for out in out again; do
    mask=022
    [ $out = again ] && mask=077
    if ! (umask $mask && exec "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/$out") \
        >"$tmp/cpack.log" 2>&1; then
        cat "$tmp/cpack.log"
        fail "cpack -G DEB builds the package"
        finish
        exit
    fi
done
packages=$(cd "$tmp/out" && ls -- *.deb *.ddeb)
check_equal "cpack makes the package and its debug symbols" \
    "skein-edge-updater-dbgsym_*_$arch.ddeb skein-edge-updater_*_$arch.deb" \
    "$(tr '\n' ' ' <<<"$packages" | sed 's/_[^_]*_/_*_/g; s/ $//')"
for package in $packages; do
    check "two builds give the same $package" cmp "$tmp/out/$package" "$tmp/again/$package"
done
deb=$(ls "$tmp"/out/*.deb)
ddeb=$(ls "$tmp"/out/*.ddeb)
root=$tmp/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$ddeb" "$root"
dpkg-deb -e "$deb" "$tmp/control"

# ---- Control data ----

field() { dpkg-deb -f "$deb" "$1"; }
check_equal "package name" skein-edge-updater "$(field Package)"
check_equal "architecture" "$arch" "$(field Architecture)"
depends=$(field Depends)
check "depends on the spdlog library ($depends)" has_text "$depends" libspdlog
check "depends on the fmt library" has_text "$depends" libfmt
check "suggests nginx for the mutual TLS example" has_text "$(field Suggests)" "nginx-light | nginx"
check_equal "recommends an engine and compose" \
    "docker.io | docker-ce, docker-compose | docker-compose-plugin" "$(field Recommends)"
check "no configuration file of dpkg's: the operator's files are no package's" \
    test ! -e "$tmp/control/conffiles"
for script in preinst postinst prerm postrm; do
    check "$script is executable" test -x "$tmp/control/$script"
    check "$script is valid sh" sh -n "$tmp/control/$script"
done

# ---- Files ----

for program in skein_edge_updater unique_id_writer; do
    check "$box/$program is an executable file" test -f "$root$box/$program" -a -x "$root$box/$program"
done
check "the package does not list $(dirname "$box") itself, which others share" \
    lacks_text "$(dpkg-deb -c "$deb")" " \.$(dirname "$box")/\$"
for script in $box_scripts; do
    check "the default $script is an executable file" \
        test -f "$root$defaults_dir/$script" -a -x "$root$defaults_dir/$script"
    check_equal "the service finds $script beside itself" "$config_dir/$script" \
        "$(readlink "$root$box/$script")"
done
check "$compose_plugin is an executable file" test -f "$root$compose_plugin" -a -x "$root$compose_plugin"
environment=$root$defaults_dir/skein_edge_updater.default
check "the default environment file sets nothing until edited" \
    test -z "$(grep -v -e '^#' -e '^$' "$environment")"
for setting in WEFT_BACKEND_LOG_LEVEL WEFT_ROTATION_MAX_BYTES WEFT_ROTATION_BACKUP_COUNT \
    SKEIN_LISTEN_ADDRESS SKEIN_COMPOSE_DOWN_TIMEOUT UPDATE_HEALTH_TIMEOUT; do
    check "the environment file offers $setting" grep -q "^#$setting=" "$environment"
done
for unit in $service_unit $provisioning_unit; do
    check "$unit is installed" test -f "$root$unit_dir/$unit"
done
examples=$root$doc_dir/examples
check_equal "the examples for securing the API and lifting the unit's restrictions are shipped" \
    "allow-controller.conf skein_edge_updater-mtls.conf unconfined-scripts.conf" "$(cd "$examples" && echo *)"
for doc in OPERATIONS.md copyright changelog.gz; do
    check "$doc is in the documentation directory" test -s "$root$doc_dir/$doc"
done
unexpected=$(cd "$root" && find . -type f | grep -v -e "^.$box/" -e "^.$defaults_dir/" -e "^.$unit_dir/" \
    -e "^.$doc_dir/" -e "^./usr/share/lintian/overrides/skein-edge-updater\$" -e "^.$compose_plugin\$" \
    -e "^./usr/lib/debug/.build-id/")
check_equal "no other files (nothing under /etc, nothing empty)" "" \
    "$unexpected$(cd "$root" && find . -type d -empty)"
check_equal "the debug package's documentation is the package's" skein-edge-updater \
    "$(readlink "$root/usr/share/doc/skein-edge-updater-dbgsym")"

# ---- Hardened programs, stripped, their symbols in the debug package ----

# build_id FILE: the GNU build id of an ELF file.
build_id() { readelf -n "$1" 2>/dev/null | sed -n 's/^ *Build ID: //p'; }
# hardening-check knows only x86's control-flow marks. arm64 programs sign
# their return addresses (PAC), which the test sees in the code; their BTI
# mark stays off, as the C library's start files lack it, and a mark the
# linker forced would fault on processors that enforce it.
cf_option=
[ "$arch" = arm64 ] && cf_option=--nocfprotection
for program in skein_edge_updater unique_id_writer; do
    installed=$root$box/$program
    if [ "$hardened" != ON ]; then
        echo "skipped: hardening-check of $program (a Debug, sanitizer or fuzzing build)"
    elif command -v hardening-check >/dev/null 2>&1; then
        hardening-check $cf_option "$installed" 2>/dev/null
        check_equal "hardening-check finds every feature in $program" 0 $?
        if [ "$arch" = arm64 ]; then
            check "$program signs its return addresses" \
                has_text "$(aarch64-linux-gnu-objdump -d "$installed")" paciasp
        fi
    else
        fail "hardening-check is installed (./scripts/install-deps.sh installs it)"
    fi
    check "$program is stripped" lacks_text "$(readelf -S "$installed")" "\.symtab"
    id=$(build_id "$installed")
    symbols=$root/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
    check "the debug package has $program's symbols by its build id ($id)" \
        test -n "$id" -a -f "$symbols"
    [ -f "$symbols" ] || continue
    check_equal "the symbols are $program's" "$id" "$(build_id "$symbols")"
    check_equal "$program's symbol file is data, not a program" 644 "$(stat -c %a "$symbols")"
    if [ "$hardened" = ON ]; then
        check "$program's debug sections are compressed" \
            has_text "$(readelf -S -W "$symbols" 2>/dev/null | grep '\.debug_info ')" ' C '
        # The same bytes from any checkout and build directory: no path
        # but the system's headers' is absolute.
        check_equal "$program's debug information names no directory of this machine but /usr" "" \
            "$(readelf -z -p .debug_str -p .debug_line_str "$symbols" 2>/dev/null |
                grep -o ' /[^ ]*' | grep -v '^ /usr/' | sort -u)"
    fi
done
check_equal "the debug package goes with this version" "skein-edge-updater (= $(field Version))" \
    "$(dpkg-deb -f "$ddeb" Depends)"

# ---- Units ----

# unit_value FILE KEY: the values of KEY, one per line.
unit_value() { sed -n "s/^$2=//p" "$1"; }
service=$root$unit_dir/$service_unit
check_equal "service runs the installed binary" "$box/skein_edge_updater" "$(unit_value "$service" ExecStart)"
check_equal "service works in its own directory" "$box" "$(unit_value "$service" WorkingDirectory)"
check_equal "service restarts always" always "$(unit_value "$service" Restart)"
check "service restarts after a short delay" grep -qx 'RestartSec=[0-9]s' "$service"
check "service starts after the network" grep -q '^After=.*network-online.target' "$service"
check "service starts after the container engine" grep -q '^After=.*docker.service' "$service"
check_equal "service output goes to the journal" journal "$(unit_value "$service" StandardOutput)"
check_equal "service reads the environment file" "-$environment_file" \
    "$(unit_value "$service" EnvironmentFile)"
check_equal "service starts at boot" multi-user.target "$(unit_value "$service" WantedBy)"
provisioning=$root$unit_dir/$provisioning_unit
check_equal "provisioning runs the installed tool" "$box/unique_id_writer" \
    "$(unit_value "$provisioning" ExecStart)"
workdir=$(unit_value "$provisioning" WorkingDirectory)
check_equal "provisioning writes ../tarn_cnf into the identifier's directory" "$cloud_config_dir" \
    "$(realpath -m "$workdir/../tarn_cnf")"
check_equal "provisioning may write there" "$cloud_config_dir" "$(unit_value "$provisioning" ReadWritePaths)"

# ---- Confinement ----

# security UNIT_FILE [OPTIONS...]: systemd's offline assessment of the unit
# (with the drop-ins beside it).
security() {
    local unit=$1
    shift
    LC_ALL=C systemd-analyze security --offline=true "$@" "$unit" 2>&1
}
# The settings of the service's confinement, from its comment to [Install].
confinement=$(sed -n '/^# Confinement\./,/^\[Install\]/s/^\([A-Za-z]*\)=.*/\1/p' "$service")
# How a refused system call fails; nothing to lift.
confinement=$(grep -vx SystemCallErrorNumber <<<"$confinement")
if command -v systemd-analyze >/dev/null 2>&1; then
    for limit in "$service 65" "$provisioning 15"; do
        read -r unit most <<<"$limit"
        security "$unit" --threshold="$most" >/dev/null
        check "$(basename "$unit"): exposure at most ${most:0:1}.${most:1} ($(security "$unit" |
            sed -n 's/^-> Overall exposure level for [^:]*: //p'))" test $? -eq 0
    done
    # The example drop-in lifts every restriction: with it, the service's
    # unit passes the same checks as one without its confinement.
    mkdir "$tmp/lifted" "$tmp/bare"
    cp "$service" "$tmp/lifted/" && mkdir "$tmp/lifted/$service_unit.d"
    cp "$examples/unconfined-scripts.conf" "$tmp/lifted/$service_unit.d/"
    sed '/^# Confinement\./,/^\[Install\]/{/^\[Install\]/!d}' "$service" >"$tmp/bare/$service_unit"
    passed() { security "$1" --json=short | grep -o '"set":true,"name":"[^"]*"' | sort; }
    check_equal "the example drop-in lifts every restriction of the service's unit" \
        "$(passed "$tmp/bare/$service_unit")" "$(passed "$tmp/lifted/$service_unit")"
else
    echo "skipped: the units' exposure (systemd-analyze is not installed)"
fi
names_setting() { grep -q "^$1=" "$examples/unconfined-scripts.conf" && grep -q "\b$1=" "$2"; }
for setting in $confinement; do
    check "the example drop-in and the guide name the unit's $setting" \
        names_setting "$setting" "$root$doc_dir/OPERATIONS.md"
done

# systemd-analyze verify wants the units' programs at their paths: the
# unpacked tree is mounted there in a private mount namespace. The example
# drop-ins are put in place beside the service's unit, so they are verified
# with it.
mount_point=$(dirname "$box")
mkdir "$service.d" && cp "$examples/allow-controller.conf" "$examples/unconfined-scripts.conf" "$service.d/"
if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "skipped: systemd-analyze verify (systemd-analyze is not installed)"
elif ! unshare -m true 2>/dev/null; then
    echo "skipped: systemd-analyze verify (no private mount namespace here)"
else
    # shellcheck disable=SC2016 # the inner shell's arguments
    verify_output=$(unshare -m sh -c 'mount --bind "$1" "$2" && shift 2 && systemd-analyze verify "$@"' \
        sh "$root$mount_point" "$mount_point" "$service" "$provisioning" 2>&1)
    verify_status=$?
    check_equal "systemd-analyze verify is silent" "" "$verify_output"
    check_equal "systemd-analyze verify succeeds" 0 "$verify_status"
fi

# ---- Maintainer scripts ----

# They run beneath the unpacked tree (DPKG_ROOT), as an image build runs
# them, so that they change nothing on this machine; the systemd helpers
# are stubs. Starts and restarts are the lifecycle test's, on a whole box.
stubs=$tmp/stubs
make_stubs "$stubs" deb-systemd-helper deb-systemd-invoke systemctl
calls() { cat "$stubs/calls" 2>/dev/null; rm -f "$stubs/calls"; }
export DPKG_ROOT=$root

sh "$tmp/control/postinst" configure ""
check_equal "postinst on a new installation succeeds" 0 $?
actual=$(calls)
for unit in $provisioning_unit $service_unit; do
    check "postinst enables $unit" has_line "$actual" "deb-systemd-helper enable $unit"
done
for script in $box_scripts; do
    check "postinst puts the default $script in place" \
        cmp "$root$defaults_dir/$script" "$root$config_dir/$script"
done
check "postinst puts the default settings in place" cmp "$environment" "$root$environment_file"
check "postinst makes the identifier's directory" test -d "$root$cloud_config_dir"

echo 1 >"$stubs/deb-systemd-helper.exit"
sh "$tmp/control/postinst" configure 0.9
check_equal "postinst on an upgrade succeeds" 0 $?
actual=$(calls)
check "postinst keeps an operator's disable" lacks_text "$actual" "helper enable"
rm -f "$stubs/deb-systemd-helper.exit"

sh "$tmp/control/prerm" remove && sh "$tmp/control/postrm" remove
check_equal "prerm and postrm on removal succeed" 0 $?
actual=$(calls)
check "postrm masks the units on removal" has_line "$actual" "deb-systemd-helper mask $service_unit"

# A chroot or a minimal container: every program of this machine but
# systemd's helpers.
mkdir -p "$tmp/no-helpers"
for program in /usr/bin/* /usr/sbin/*; do
    case ${program##*/} in
        deb-systemd-* | systemctl) ;;
        *) ln -sf "$program" "$tmp/no-helpers/" ;;
    esac
done
shell=$(command -v sh)
for args in "postinst configure" "prerm remove" "postrm remove"; do
    read -r script action <<<"$args"
    (export PATH=$tmp/no-helpers && exec "$shell" "$tmp/control/$script" "$action")
    check_equal "$script $action without any systemd helper succeeds" 0 $?
done
unset DPKG_ROOT

# ---- lintian ----

# Both packages together (lintian sees then that the debug package's
# documentation link leads to its own source's package), at every level of
# tags; the package's own overrides say why they are there. Left aside:
# the spelling heuristic's finds in the programs, and the note on
# overrides it no longer needs, which come and go with the bytes of the
# machine code. Installed by ./scripts/install-deps.sh.
# A Debug, sanitizer or fuzzing build lacks the hardening flags by design.
set_aside=(-e '^running with root privileges' -e 'spelling-error-in-binary' -e '^N: .* unused override')
[ "$hardened" = ON ] || set_aside+=(-e ' hardening-no-')
if command -v lintian >/dev/null 2>&1; then
    lintian_output=$(lintian --pedantic --display-info --display-experimental "$deb" "$ddeb" 2>&1 |
        grep -v "${set_aside[@]}")
    check_equal "lintian has nothing to say of either package" "" "$lintian_output"
else
    fail "lintian is installed (./scripts/install-deps.sh installs it)"
fi

finish
