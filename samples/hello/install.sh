#!/bin/sh
# The run program of the demo archive: kivra starts it after extracting, with
# every feature word of the archive in its environment.
here=$(cd "$(dirname "$0")" && pwd)
echo "install.sh: running from $here"
echo "install.sh: GREETING=$GREETING  QM_VENDOR=$QM_VENDOR  NAME=$NAME"
echo "install.sh: files extracted:"
ls -l "$here" | sed 's/^/    /'
