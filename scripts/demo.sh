#!/usr/bin/env bash
# Builds kivra (x86-64), packs samples/hello into a self-extracting archive and
# runs it in a scratch directory, showing each step.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/install-deps.sh
kivra_install_deps demo

# A build directory of its own, without the tests, so that the demo needs no
# test packages and leaves the test builds alone.
cmake --preset release -B build/demo >/dev/null
cmake --build build/demo --target kivra >/dev/null
kivra=$PWD/build/demo/kivra

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -C samples -cf "$work/hello.tar" hello

step() { printf '\n\033[1m$ %s\033[0m\n' "$*"; }
cd "$work"
step "kivra -C 'kivra demo installer' -f 'tar -xf -' -r 'sh %p/hello/install.sh' -F GREETING=hi -O Example hello.tar > hello.run"
"$kivra" -C 'kivra demo installer' -f 'tar -xf -' -r 'sh %p/hello/install.sh' \
  -F GREETING=hi -O Example hello.tar > hello.run
chmod +x hello.run
ls -l hello.tar hello.run
step "./hello.run -l"
./hello.run -l
mkdir target && cd target
step "cd target && ../hello.run"
../hello.run
step "ls -R"
ls -R
