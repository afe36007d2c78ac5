# Sourced by the other scripts: installs the Debian packages a build needs
# when they are missing (run as root on Debian 12).
# $1: "all" for both architectures and the tests, "demo" for the x86-64 build only.
kivra_install_deps() {
  local need=()
  command -v cmake >/dev/null || need+=(cmake)
  command -v ninja >/dev/null || need+=(ninja-build)
  command -v g++ >/dev/null || need+=(g++)
  command -v tar >/dev/null || need+=(tar)
  if [ "$1" = all ]; then
    [ -f /usr/lib32/libc.a ] && [ -d /usr/lib/gcc/x86_64-linux-gnu/12/32 ] || need+=(g++-multilib)
    [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
    [ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
    command -v unshare >/dev/null || need+=(util-linux)
    command -v strace >/dev/null || need+=(strace)
    # The shells a system may use as /bin/sh, and a Big5 locale's sources:
    # the placeholder tests run every command through each of them.
    [ -x /bin/busybox ] || need+=(busybox-static)
    local s
    for s in mksh posh yash zsh; do command -v $s >/dev/null || need+=($s); done
    [ -f /usr/share/i18n/locales/zh_TW ] || need+=(locales)
  fi
  if [ ${#need[@]} -gt 0 ]; then
    echo "== installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}" >/dev/null
  fi
}
