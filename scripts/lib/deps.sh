# Sourced by scripts: ensure_packages installs whatever of the build and test
# dependencies is missing, from Debian's archive (needs root).

VELMORA_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev
  libx11-dev libxi-dev libxtst-dev
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine wine64 wine32:i386 fonts-wine
  xvfb xdotool xinput x11-utils x11-xserver-utils xfonts-base imagemagick
  python3
)

missing_packages() {
  local p
  for p in "${VELMORA_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

ensure_packages() {
  local missing
  missing=$(missing_packages)
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages (run as root to install them): $missing" >&2
    return 1
  fi
  echo "== installing: $(echo $missing)"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then dpkg --add-architecture i386; fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends $missing >/dev/null || {
    echo "apt-get could not install: $missing" >&2
    return 1
  }
}
