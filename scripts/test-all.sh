#!/usr/bin/env bash
# Builds kivra for x86-64 and 32-bit x86 and runs every test on both builds.
# On a fresh Debian 12 machine (as root) it first installs what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/lib32/libc.a ] && [ -d /usr/lib/gcc/x86_64-linux-gnu/12/32 ] || need+=(g++-multilib)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
[ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

for preset in x86_64 i386; do
  echo "== configure and build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
status=0
for preset in x86_64 i386; do
  echo "== test: $preset"
  ctest --preset "$preset" || status=1
done
exit $status
