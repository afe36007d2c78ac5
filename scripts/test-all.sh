#!/usr/bin/env bash
# Builds kivra for x86-64 and 32-bit x86 and runs every test on both builds,
# then builds the sanitizer preset (AddressSanitizer with leak detection, and
# UBSan) and runs the suites labelled "sanitize" under it: the decoder, header,
# trailer, compressor and stream suites, the fuzz corpus replays and the
# command-line scripts (see tests/CMakeLists.txt for why not all of them).
# On a fresh Debian 12 machine (as root) it first installs what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/install-deps.sh
kivra_install_deps all

for preset in x86_64 i386 asan; do
  echo "== configure and build: $preset"
  cmake --preset "$preset" -DKIVRA_TESTS=ON >/dev/null
  if [ "$preset" = asan ]; then
    cmake --build --preset asan --target sanitize_suites
  else
    cmake --build --preset "$preset"
  fi
done
status=0
for preset in x86_64 i386; do
  echo "== test: $preset"
  ctest --preset "$preset" || status=1
done
echo "== test: asan (label sanitize)"
ctest --preset asan -L sanitize || status=1
exit $status
