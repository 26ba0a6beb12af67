#!/bin/sh
# Checks what users get: `cmake --install` and the packages must hold exactly the tool, its
# manual page, the license and the README, and the installed tool must run and edit a file.
#
#   check_install.sh install|packages BUILD_DIR BINDIR MANDIR DOCDIR
#
# BINDIR, MANDIR and DOCDIR are the build's GNUInstallDirs values (relative to the prefix).
# "packages" builds the .tar.gz, and the .deb where dpkg-deb is found; as root with dpkg, it
# also installs the .deb into an empty root and runs the tool from there.
set -eu

mode=$1
build=$2
bindir=$3
mandir=$4
docdir=$5

work=$(mktemp -d "${TMPDIR:-/tmp}/linemorph-install-XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The files users get, relative to the prefix, one a line, sorted.
expected() {
    printf '%s\n' "$bindir/linemorph" "$mandir/man1/linemorph.1" \
        "$docdir/LICENSE" "$docdir/README.md" | LC_ALL=C sort
}

# Compares the sorted list of files on standard input with the expected one.
check_listing() {
    what=$1
    LC_ALL=C sort >"$work/got"
    expected >"$work/want"
    if ! cmp -s "$work/want" "$work/got"; then
        echo "$what holds other files than expected:" >&2
        diff -u "$work/want" "$work/got" >&2 || true
        fail "$what"
    fi
    echo "$what holds exactly:"
    sed 's/^/  /' "$work/got"
}

# Runs the tool at $1 on a small file and checks the edit and the manual page beside it.
check_runs() {
    tool=$1
    printf 'keep OLD\nOLD here\n' >"$work/sample"
    "$tool" --input="$work/sample" OLD NEW '}here' || fail "$tool exited with status $?"
    [ "$(cat "$work/sample")" = "$(printf 'keep OLD\nNEW here')" ] ||
        fail "$tool made a wrong edit: $(cat "$work/sample")"
    echo "$tool runs and edits a file"
}

case $mode in
install)
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    (cd "$work/prefix" && find . ! -type d | sed 's|^\./||') | check_listing "the install"
    [ -x "$work/prefix/$bindir/linemorph" ] || fail "the installed tool is not executable"
    check_runs "$work/prefix/$bindir/linemorph"
    ;;
packages)
    config="$build/CPackConfig.cmake"
    cpack --config "$config" -G TGZ -B "$work/out" >"$work/log" 2>&1 || { cat "$work/log"; fail cpack; }
    set -- "$work"/out/linemorph-*.tar.gz
    [ -f "$1" ] || fail "cpack made no .tar.gz"
    # Every entry sits under one top folder named after the package.
    tar -tzf "$1" | grep -v '/$' | sed 's|^[^/]*/||' | check_listing "$(basename "$1")"

    if ! command -v dpkg-deb >/dev/null 2>&1; then
        echo "dpkg-deb not found: the .deb is not checked"
        exit 0
    fi
    cpack --config "$config" -G DEB -B "$work/out" >"$work/log" 2>&1 || { cat "$work/log"; fail cpack; }
    set -- "$work"/out/linemorph_*.deb
    [ -f "$1" ] || fail "cpack made no .deb"
    deb=$1
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | sed 's|^\./usr/||' |
        check_listing "$(basename "$deb")"
    for field in Package Version Architecture Maintainer Section Depends Description; do
        [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "the .deb has no $field field"
    done

    if [ "$(id -u)" != 0 ] || ! command -v dpkg >/dev/null 2>&1; then
        echo "not root, or no dpkg: the .deb is not installed into an empty root"
        exit 0
    fi
    # An empty root whose package database knows only the packages the .deb depends on, copied
    # from this machine's, so that dpkg checks those dependencies for real.
    root="$work/root"
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    : >"$root/var/lib/dpkg/status"
    dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/:[a-z0-9]*//g' | tr ',' '\n' |
        while read -r group; do
            # "a | b" is met by either package.
            for package in $(echo "$group" | tr '|' ' '); do
                if dpkg-query -s "$package" >"$work/entry" 2>/dev/null; then
                    cat "$work/entry" >>"$root/var/lib/dpkg/status"
                    echo >>"$root/var/lib/dpkg/status"
                    # Its list of files, empty here: the root holds none of them.
                    name=$(dpkg-query -W -f '${binary:Package}' "$package")
                    : >"$root/var/lib/dpkg/info/$name.list"
                    continue 2
                fi
            done
            fail "no package for the dependency \"$group\" is installed here"
        done
    dpkg --root="$root" -i "$deb" >/dev/null
    [ "$(dpkg-query --root="$root" -W -f '${db:Status-Abbrev}' linemorph)" = "ii " ] ||
        fail "dpkg did not install and configure the .deb"
    (cd "$root" && find . ! -type d ! -path './var/*' | sed 's|^\./usr/||') |
        check_listing "the empty root after dpkg -i"
    check_runs "$root/usr/bin/linemorph"
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
