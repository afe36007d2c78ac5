#!/bin/sh
# Checks the dependency direction of the sources, folder by folder:
#   check-layers.sh SOURCE_ROOT
# A file in DistrUtil/kivra/codec includes only headers of its own folder; a
# file in libsrc/ss only ss.h; the tool (DistrUtil/kivra/tool and main.cc)
# may include the codec's headers, its own and ss.h. Every quoted include is
# a project header; each one outside the rule is printed and the check exits 1.
# CTest runs it as the test "layering".
set -u
cd "$1" || exit 2
status=0

# check FOLDER FILE...: every quoted include of each FILE names a header in
# one of the space-separated FOLDERs.
check() {
    folders=$1
    shift
    for file in "$@"; do
        [ -e "$file" ] || continue
        for inc in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file"); do
            ok=no
            for dir in $folders; do [ -e "$dir/$inc" ] && ok=yes; done
            if [ $ok = no ]; then
                echo "$file: includes \"$inc\", which is not in: $folders"
                status=1
            fi
        done
    done
}

check DistrUtil/kivra/codec DistrUtil/kivra/codec/*
check libsrc/ss libsrc/ss/*
check "DistrUtil/kivra/codec DistrUtil/kivra/tool libsrc/ss" DistrUtil/kivra/tool/* DistrUtil/kivra/main.cc
exit $status
