#!/usr/bin/env bash
# Builds kivra for x86-64 and 32-bit x86 and runs every test on both builds.
# On a fresh Debian 12 machine (as root) it first installs what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/install-deps.sh
kivra_install_deps all

for preset in x86_64 i386; do
  echo "== configure and build: $preset"
  cmake --preset "$preset" -DKIVRA_TESTS=ON >/dev/null
  cmake --build --preset "$preset"
done
status=0
for preset in x86_64 i386; do
  echo "== test: $preset"
  ctest --preset "$preset" || status=1
done
exit $status
