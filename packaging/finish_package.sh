#!/bin/sh
# Finishes a package that cpack built, rewriting its archives:
#   - every member readable by all and writable by its owner only, whatever
#     the umask of the build (cpack takes the modes of the directories it
#     makes from it);
#   - md5sums names the files relative to the root, as dpkg expects (cpack
#     writes the paths of its scratch tree there for a debug package);
#   - given DIR (such as ./opt/), the archive no longer lists DIR itself,
#     only what lies beneath it. dpkg deletes an emptied directory when the
#     last package that lists it goes: /opt, which base-files makes on every
#     Debian system and which is shared with other software, would go with
#     this package. preinst makes the directory where it is missing, as
#     base-files would.
# Everything else stays as it was: the members, their order, owners and
# times, and the archive's times, so a reproducible package stays so.
#
# Usage: finish_package.sh PACKAGE [DIR]
set -eu
deb=$(realpath "$1")
dir=${2-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ar x "$deb"
control=$(ls control.tar.*)
data=$(ls data.tar.*)

# The time of the archive's first member: the package's own time.
mtime=$(head -c 36 "$deb" | tail -c 12 | tr -d ' ')

# repack ARCHIVE [EXCLUDED]: ARCHIVE again, in the same order without the
# member EXCLUDED, after fix_tree has seen its files in ./tree.
repack() {
    case $1 in
        *.xz) decompress="xz -d" compress="xz -T1 -6" ;;
        *.gz) decompress="gzip -d" compress="gzip -9n" ;;
        *)
            echo "finish_package.sh: $1 is not handled" >&2
            exit 1
            ;;
    esac
    tarball=${1%.*}
    $decompress "$1"
    rm -rf tree && mkdir tree
    tar -xpf "$tarball" -C tree
    fix_tree
    tar -tf "$tarball" | grep -vxF "${2:-/}" >members
    tar -cf "$tarball" --format=gnu --no-recursion --owner=root:0 --group=root:0 \
        --mode=go-w,a+rX --mtime="@$mtime" -C tree -T "$work/members"
    $compress "$tarball"
}

fix_tree() {
    if [ -f tree/md5sums ]; then
        sed -i 's|^\([0-9a-f]*  \)/.*/_CPack_Packages/[^/]*/[^/]*/[^/]*/|\1|' tree/md5sums
    fi
}
repack "$control"
repack "$data" "$dir"

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
