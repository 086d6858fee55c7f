#!/usr/bin/env bash
# Builds the Debian package and its debug-symbol package from the build
# tree twice, checks that both builds give the same bytes, unpacks them
# into a temporary root and checks what a box gets: the files and their
# modes, hardened and stripped programs whose symbols are in the debug
# package, the declared dependencies, the systemd units, and maintainer
# scripts that enable the units and harm nothing where systemd does not
# run; then runs lintian on it. ARCH is the Debian architecture the build is
# for, so the same checks serve a native and a cross build. HARDENED says
# whether the build has the hardening flags (not Debug or sanitizer builds).
#
# Usage: deb_package_test.sh CPACK BUILD_DIR ARCH BOX_DIR CONFIG_DIR UNIT_DIR DOC_DIR HARDENED
set -u
cpack=$1 build=$2 arch=$3 box=$4 config_dir=$5 unit_dir=$6 doc_dir=$7 hardened=$8
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
packages=$(cd "$tmp/out" && ls *.deb *.ddeb)
check_equal "cpack makes the package and its debug symbols" \
    "skein-edge-updater-dbgsym_*_$arch.ddeb skein-edge-updater_*_$arch.deb" \
    "$(echo $packages | sed 's/_[^_]*_/_*_/g')"
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
check_equal "the box scripts and the environment file are conffiles" \
    "$(for script in $box_scripts; do echo "$config_dir/$script"; done)"$'\n'"$environment_file" \
    "$(cat "$tmp/control/conffiles")"
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
    check "$config_dir/$script is an executable file" \
        test -f "$root$config_dir/$script" -a -x "$root$config_dir/$script"
    check_equal "the service finds $script beside itself" "$config_dir/$script" \
        "$(readlink "$root$box/$script")"
done
check "$compose_plugin is an executable file" test -f "$root$compose_plugin" -a -x "$root$compose_plugin"
environment=$root$environment_file
check "the environment file sets nothing until edited" \
    test -z "$(grep -v -e '^#' -e '^$' "$environment")"
for setting in WEFT_BACKEND_LOG_LEVEL WEFT_ROTATION_MAX_BYTES WEFT_ROTATION_BACKUP_COUNT \
    SKEIN_LISTEN_ADDRESS SKEIN_COMPOSE_DOWN_TIMEOUT UPDATE_HEALTH_TIMEOUT; do
    check "the environment file offers $setting" grep -q "^#$setting=" "$environment"
done
check "the identifier's directory is shipped ($cloud_config_dir)" test -d "$root$cloud_config_dir"
for unit in $service_unit $provisioning_unit; do
    check "$unit is installed" test -f "$root$unit_dir/$unit"
done
examples=$root$doc_dir/examples
check_equal "the examples for securing the API are shipped" \
    "allow-controller.conf skein_edge_updater-mtls.conf" "$(echo $(ls "$examples"))"
for doc in OPERATIONS.md copyright changelog.gz; do
    check "$doc is in the documentation directory" test -s "$root$doc_dir/$doc"
done
unexpected=$(cd "$root" && find . -type f | grep -v -e "^.$box/" -e "^.$config_dir/" -e "^.$unit_dir/" \
    -e "^.$doc_dir/" -e "^.$environment_file\$" -e "^./usr/share/lintian/overrides/skein-edge-updater\$" \
    -e "^.$compose_plugin\$" \
    -e "^./usr/lib/debug/.build-id/")
check_equal "no other files" "" "$unexpected"

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
    [ -f "$symbols" ] && check_equal "the symbols are $program's" "$id" "$(build_id "$symbols")"
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
check_equal "provisioning writes ../tarn_cnf into the shipped directory" "$cloud_config_dir" \
    "$(realpath -m "$workdir/../tarn_cnf")"
check_equal "provisioning may write there" "$cloud_config_dir" "$(unit_value "$provisioning" ReadWritePaths)"

# systemd-analyze verify wants the units' programs at their paths: the
# unpacked tree is mounted there in a private mount namespace. The example
# drop-in is put in place beside the service's unit, so it is verified with it.
mount_point=$(dirname "$box")
mkdir "$service.d" && cp "$examples/allow-controller.conf" "$service.d/"
if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "skipped: systemd-analyze verify (systemd-analyze is not installed)"
elif ! unshare -m true 2>/dev/null; then
    echo "skipped: systemd-analyze verify (no private mount namespace here)"
else
    verify_output=$(unshare -m sh -c 'mount --bind "$1" "$2" && shift 2 && systemd-analyze verify "$@"' \
        sh "$root$mount_point" "$mount_point" "$service" "$provisioning" 2>&1)
    verify_status=$?
    check_equal "systemd-analyze verify is silent" "" "$verify_output"
    check_equal "systemd-analyze verify succeeds" 0 "$verify_status"
fi

# ---- Maintainer scripts ----

stubs=$tmp/stubs
make_stubs "$stubs" deb-systemd-helper deb-systemd-invoke systemctl
calls() { cat "$stubs/calls" 2>/dev/null; rm -f "$stubs/calls"; }
systemd_runs=no
[ -d /run/systemd/system ] && systemd_runs=yes

sh "$tmp/control/postinst" configure ""
check_equal "postinst on a new installation succeeds" 0 $?
actual=$(calls)
for unit in $provisioning_unit $service_unit; do
    check "postinst enables $unit" has_line "$actual" "deb-systemd-helper enable $unit"
done
if [ $systemd_runs = yes ]; then
    check "postinst starts the service" has_line "$actual" "deb-systemd-invoke start $service_unit"
else
    check "postinst starts nothing without systemd" lacks_text "$actual" "systemctl\|deb-systemd-invoke"
fi

echo 1 >"$stubs/deb-systemd-helper.exit"
sh "$tmp/control/postinst" configure 0.9
check_equal "postinst on an upgrade succeeds" 0 $?
actual=$(calls)
check "postinst keeps an operator's disable" lacks_text "$actual" "helper enable"
if [ $systemd_runs = yes ]; then
    check "postinst restarts the service on an upgrade" \
        has_line "$actual" "deb-systemd-invoke restart $service_unit"
fi
rm -f "$stubs/deb-systemd-helper.exit"

sh "$tmp/control/prerm" remove && sh "$tmp/control/postrm" remove
check_equal "prerm and postrm on removal succeed" 0 $?
actual=$(calls)
check "postrm masks the units on removal" has_line "$actual" "deb-systemd-helper mask $service_unit"

# A chroot or a minimal container: none of the helpers exist.
mkdir -p "$tmp/empty"
shell=$(command -v sh)
for args in "postinst configure" "prerm remove" "postrm remove"; do
    set -- $args
    (PATH=$tmp/empty && exec "$shell" "$tmp/control/$1" "$2")
    check_equal "$1 $2 without any systemd helper succeeds" 0 $?
done

# ---- lintian ----

# Errors and warnings fail; the package's own overrides say why they are
# there. Installed by ./scripts/install-deps.sh.
if command -v lintian >/dev/null 2>&1; then
    lintian_output=$(lintian --fail-on error,warning "$deb" 2>&1)
    lintian_status=$?
    check_equal "lintian finds no error or warning" 0 "$lintian_status"
    [ $lintian_status -eq 0 ] || echo "$lintian_output"
else
    fail "lintian is installed (./scripts/install-deps.sh installs it)"
fi

finish
