#!/bin/sh
# Runs one command-line script and compares what it prints with its expected
# output, byte for byte:   run.sh KIVRA_BINARY SCRIPT EXPECTED
#
# The script runs with /bin/sh in a fresh scratch directory, with the binary
# on PATH as "kivra" (so messages start with "kivra"), TZ=UTC, LC_ALL=C and
# standard input from /dev/null. It sources kit.sh for its helpers. A script
# that exits 77 skips (CTest shows it skipped, with what it printed).
set -u
bin=$1 script=$2 expected=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kivra-cli.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/run"
ln -s "$bin" "$work/bin/kivra"
actual="$work/actual"
(
    cd "$work/run" &&
    PATH="$work/bin:/usr/bin:/bin" TZ=UTC LC_ALL=C KIT="$here/kit.sh" SCRATCH="$work" \
        /bin/sh "$script" </dev/null
) >"$actual" 2>&1
if [ $? -eq 77 ]; then  # the script skips, saying why
    cat "$actual"
    exit 77
fi
if ! cmp -s "$expected" "$actual"; then
    echo "output of $(basename "$script") differs from $(basename "$expected") (- expected, + actual):"
    diff -u "$expected" "$actual"
    exit 1
fi
