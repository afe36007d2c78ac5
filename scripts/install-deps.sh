# Sourced by the other scripts: installs the Debian packages a build needs
# when they are missing (run as root on Debian 12).
# $1: "all" for both architectures and the tests, "demo" for the x86-64 build only.
kivra_install_deps() {
  local need=()
  command -v cmake >/dev/null || need+=(cmake)
  command -v ninja >/dev/null || need+=(ninja-build)
  command -v g++ >/dev/null || need+=(g++)
  command -v tar >/dev/null || need+=(tar)
  [ -f /usr/lib/x86_64-linux-gnu/libsodium.a ] || need+=(libsodium-dev)
  if [ "$1" = all ]; then
    # The compiler's own 32-bit support library, whatever its version (without
    # it, the compiler prints the bare file name).
    [ -f /usr/lib32/libc.a ] && [ -f "$(g++ -m32 -print-libgcc-file-name 2>/dev/null)" ] || need+=(g++-multilib)
    [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
    [ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
    command -v unshare >/dev/null || need+=(util-linux)
    command -v strace >/dev/null || need+=(strace)
    command -v ssh-keygen >/dev/null || need+=(openssh-client)
    if [ ! -f /usr/lib/i386-linux-gnu/libsodium.a ]; then
      # The 32-bit build links the i386 library: dpkg must know that architecture.
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "== adding the i386 architecture to dpkg"
        dpkg --add-architecture i386
      fi
      need+=(libsodium-dev:i386)
    fi
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
