#!/bin/sh
# Checks the dependency direction of the sources, include by include:
#   check-layers.sh SOURCE_ROOT CODEC_UNIT...
# The codec units (given by the build, relative to SOURCE_ROOT) include only
# the codec headers; every other unit in DistrUtil/kivra is a tool unit and
# reaches the support library only through ss.h; the support library
# includes only its own header. Prints each include that crosses the rule and
# exits 1 when there is one. CTest runs it as the test "layering".
set -u
root=$1
shift
codec_units=" $* "
status=0

# allowed FILE WHAT HEADER...: every project header FILE includes must be
# one of HEADERs.
allowed() {
    file=$1 what=$2
    shift 2
    for inc in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]\([^">]*\)[">].*/\1/p' "$root/$file"); do
        case $inc in
        kivra.h | stream.h | gzip_member.h | ss.h | */kivra.h | */stream.h | */ss.h) ;;
        *) continue ;;  # system and standard headers
        esac
        ok=no
        for h in "$@"; do [ "$inc" = "$h" ] && ok=yes; done
        if [ $ok = no ]; then
            echo "$file: includes $inc; $what include only: ${*:-no project header}"
            status=1
        fi
    done
}

for path in "$root"/DistrUtil/kivra/*.cc "$root"/DistrUtil/kivra/*.h "$root"/DistrUtil/kivra/*/*.h; do
    [ -e "$path" ] || continue
    file=${path#"$root"/}
    case $file in
    */stream.h) allowed "$file" "the stream header may" ;;
    */gzip_member.h) allowed "$file" "the gzip member header may" stream.h ;;
    */kivra.h) allowed "$file" "the tool header may" stream.h gzip_member.h ;;
    *)
        case $codec_units in
        *" $file "*) allowed "$file" "codec units may" stream.h gzip_member.h ;;
        *) allowed "$file" "tool units may" kivra.h stream.h gzip_member.h ss.h ;;
        esac
        ;;
    esac
done
for path in "$root"/libsrc/ss/*.cc "$root"/libsrc/ss/*.h; do
    file=${path#"$root"/}
    case $file in
    */ss.h) allowed "$file" "the support library header may" ;;
    *) allowed "$file" "support library units may" ss.h ;;
    esac
done
exit $status
