#!/bin/sh
# Finishes a package that cpack built, rewriting its archives:
#   - every member readable by all and writable by its owner only, whatever
#     the umask of the build (cpack takes the modes of the directories it
#     makes from it); the symbol files of a debug package are data, 0644;
#   - the programs lose their .comment section, the compilers' names, which
#     nothing on a box reads;
#   - a debug package gets its documentation as Debian's debug packages
#     have it: /usr/share/doc/NAME-dbgsym a link to the main package's
#     directory, whose copyright and changelog it shares;
#   - md5sums and Installed-Size are computed again from the files (cpack
#     writes the paths of its scratch tree into a debug package's md5sums);
#   - given DIR (such as ./opt/), the archive no longer lists DIR itself,
#     only what lies beneath it. dpkg deletes an emptied directory when the
#     last package that lists it goes: /opt, which base-files makes on every
#     Debian system and which is shared with other software, would go with
#     this package. preinst makes the directory where it is missing, as
#     base-files would.
# Everything else stays as it was: the members, their order, owners and
# times, and the archive's times, so a reproducible package stays so.
#
# Usage: finish_package.sh PACKAGE OBJCOPY [DIR]
set -eu
deb=$(realpath "$1")
objcopy=$2
dir=${3-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ar x "$deb"
control=$(ls control.tar.*)
data=$(ls data.tar.*)

# The time of the archive's first member: the package's own time.
mtime=$(head -c 36 "$deb" | tail -c 12 | tr -d ' ')

# unpack ARCHIVE TREE: the archive's members into TREE, and their names,
# in the archive's order, into TREE.members.
unpack() {
    case $1 in
        *.xz) decompress="xz -d" ;;
        *.gz) decompress="gzip -d" ;;
        *)
            echo "finish_package.sh: $1 is not handled" >&2
            exit 1
            ;;
    esac
    $decompress "$1"
    mkdir "$2"
    tar -xpf "${1%.*}" -C "$2"
    tar -tf "${1%.*}" >"$2.members"
}

# repack ARCHIVE TREE: the archive again from TREE, with the members of
# TREE.members in name order (cpack's own).
repack() {
    case $1 in
        *.xz) compress="xz -T1 -6" ;;
        *.gz) compress="gzip -9n" ;;
    esac
    LC_ALL=C sort -u "$2.members" >"$2.sorted"
    tar -cf "${1%.*}" --format=gnu --no-recursion --owner=root:0 --group=root:0 \
        --mode=go-w,a+rX --mtime="@$mtime" -C "$2" -T "$work/$2.sorted"
    $compress "${1%.*}"
}

is_elf() { [ "$(head -c 4 "$1")" = "$(printf '\177ELF')" ]; }

unpack "$control" meta
unpack "$data" files
package=$(sed -n 's/^Package: //p' meta/control)

find files -type f | while read -r file; do
    if [ "${file#files/usr/lib/debug/}" != "$file" ]; then
        chmod 0644 "$file"
    elif is_elf "$file"; then
        "$objcopy" --remove-section=.comment "$file"
    fi
done

main=${package%-dbgsym}
if [ "$main" != "$package" ]; then
    mkdir -p files/usr/share/doc
    ln -s "$main" "files/usr/share/doc/$package"
    printf '%s\n' ./usr/share/ ./usr/share/doc/ "./usr/share/doc/$package" >>files.members
fi

if [ -n "$dir" ]; then
    grep -vxF "$dir" files.members >files.kept
    mv files.kept files.members
fi

# dpkg's measure: each file's size in KiB rounded up, 1 for anything else.
installed_size=$(cd files && find . -mindepth 1 -printf '%y %s\n' |
    awk '{ total += ($1 == "f") ? int(($2 + 1023) / 1024) : 1 } END { print total }')
sed -i "s/^Installed-Size: .*/Installed-Size: $installed_size/" meta/control
(cd files && find . -type f | LC_ALL=C sort | sed 's|^\./||' | xargs md5sum) >meta/md5sums

repack "$control" meta
repack "$data" files

# ar_member NAME: one member of the package, with the header dpkg-deb
# writes (owner 0, mode 644, the package's time), padded to an even size.
ar_member() {
    size=$(stat -c %s "$1")
    printf '%-16s%-12s%-6s%-6s%-8s%-10s`\n' "$1" "$mtime" 0 0 100644 "$size"
    cat "$1"
    [ $((size % 2)) -eq 0 ] || printf '\n'
}
{
    printf '!<arch>\n'
    ar_member debian-binary
    ar_member "$control"
    ar_member "$data"
} >"$deb.new"
mv "$deb.new" "$deb"
