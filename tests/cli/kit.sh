# kit.sh - helpers for the command-line scripts (sourced; see run.sh).
#
# t CMD ARGS...    prints "$ CMD ARGS", then CMD's standard output as it is,
#                  its standard error with each line marked "! ", and
#                  "[exit N]" when the status N is not 0.
# build FILE ARGS  runs "kivra ARGS > FILE", makes FILE executable and prints
#                  nothing unless the builder says something or fails.
# payload_offset FILE  prints the offset of the first payload byte of the
#                  archive FILE: past the magic and the four NUL-ended
#                  trailer strings (which must hold no line feed).
out="$SCRATCH/out" err="$SCRATCH/err"

# Prints the marked standard error and the status of the last command.
errors() {
    sed 's/^/! /; s/^! $/!/' "$err"
    [ "$status" -eq 0 ] || echo "[exit $status]"
}

t() {
    printf '$ %s\n' "$*"
    "$@" >"$out" 2>"$err"
    status=$?
    cat "$out"
    errors
}

build() {
    file=$1
    shift
    kivra "$@" >"$file" 2>"$err"
    status=$?
    chmod 755 "$file"
    if [ -s "$err" ] || [ "$status" -ne 0 ]; then
        echo "building $file: kivra $*"
        errors
    fi
}

payload_offset() {
    at=$(grep -boa 'kivra+magik' "$1" | head -n 1 | cut -d: -f1)
    echo $((at + $(tail -c +$((at + 1)) "$1" | tr '\0' '\n' | head -n 4 | wc -c)))
}
