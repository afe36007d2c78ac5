# kit.sh - helpers for the command-line scripts (sourced; see run.sh).
#
# t CMD ARGS...    prints "$ CMD ARGS", then CMD's standard output as it is,
#                  its standard error with each line marked "! ", and
#                  "[exit N]" when the status N is not 0.
# build FILE ARGS  runs "kivra ARGS > FILE", makes FILE executable and prints
#                  nothing unless the builder says something or fails.
out="$SCRATCH/out" err="$SCRATCH/err"

t() {
    printf '$ %s\n' "$*"
    "$@" >"$out" 2>"$err"
    status=$?
    cat "$out"
    sed 's/^/! /; s/^! $/!/' "$err"
    [ "$status" -eq 0 ] || echo "[exit $status]"
}

build() {
    file=$1
    shift
    kivra "$@" >"$file" 2>"$err"
    status=$?
    chmod 755 "$file"
    if [ -s "$err" ] || [ "$status" -ne 0 ]; then
        echo "building $file: kivra $*"
        sed 's/^/! /; s/^! $/!/' "$err"
        [ "$status" -eq 0 ] || echo "[exit $status]"
    fi
}
