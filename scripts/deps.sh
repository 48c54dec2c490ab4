# Sourced by the other scripts: installs the Debian packages given as
# arguments when any of them is missing (apt-get update only then).
ensure_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  echo "installing: ${missing[*]}"
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y \
    --no-install-recommends "${missing[@]}"
}

# The Windows cross builds and Wine (scripts/test-windows.sh): the MinGW-w64
# compilers, Wine for 32- and 64-bit programs (the 32-bit packages from
# Debian's i386 architecture, added when missing) and GoogleTest's sources.
# Where the kernel cannot run 32-bit programs (some virtual machines), the
# 32-bit Wine runs under QEMU's user-mode emulation, registered through
# binfmt_misc.
ensure_windows_tools() {
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  ensure_packages cmake make googletest libcli11-dev g++-mingw-w64-i686 \
    g++-mingw-w64-x86-64 wine wine64 wine32:i386 wine32-preloader:i386
  /usr/lib/wine/wine --version >/dev/null 2>&1 && return 0
  ensure_packages qemu-user-static
  local misc=/proc/sys/fs/binfmt_misc
  [ -e "$misc/register" ] ||
    "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$misc"
  if [ ! -e "$misc/qemu-i386" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
      "${sudo[@]}" tee "$misc/register" >/dev/null
  fi
  /usr/lib/wine/wine --version >/dev/null
}
