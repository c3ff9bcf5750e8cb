# Sourced by scripts: ensure_packages [PACKAGE...] installs whatever of the given
# packages (by default every build and test dependency) is missing, from
# Debian's archive (needs root).

VELMORA_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev
  libx11-dev libxi-dev libxtst-dev libxft-dev fontconfig fonts-dejavu-core libevdev-dev
  umockdev libumockdev-dev evemu-tools
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine wine64 wine32:i386 fonts-wine
  xvfb xdotool xinput x11-utils x11-xserver-utils xfonts-base imagemagick openbox
  python3 liblo-tools
  tmux e2fsprogs
  dpkg-dev zip unzip desktop-file-utils
  libjs-chart.js
  scdoc librsvg2-bin icoutils lintian appstream man-db
)

# What the Linux program needs to build (its preset also builds the tests) and
# to show itself on a private X server; its text comes through fontconfig, which
# needs a font to find, and its window's icon is drawn from the SVG at build time.
VELMORA_RUN_PACKAGES=(
  cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev librsvg2-bin icoutils
  libx11-dev libxi-dev libxtst-dev libxft-dev fontconfig fonts-dejavu-core libevdev-dev
  xvfb xdotool xinput x11-utils xfonts-base imagemagick
  libjs-chart.js
)

# What scripts/package needs: the three builds (velmora-report embeds the
# charting library), the .exe's icon (rsvg-convert, icotool), the man pages
# (scdoc), the changelog and copyright file (python3), CPack's dependency list
# (dpkg-shlibdeps) and the zip.
VELMORA_PACKAGE_PACKAGES=(
  cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev
  libx11-dev libxi-dev libxtst-dev libxft-dev libevdev-dev
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  librsvg2-bin icoutils scdoc python3 dpkg-dev zip libjs-chart.js
)

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

ensure_packages() {
  local missing
  if [ $# -eq 0 ]; then set -- "${VELMORA_PACKAGES[@]}"; fi
  missing=$(missing_packages "$@")
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages (run as root to install them): $missing" >&2
    return 1
  fi
  echo "== installing: $(echo $missing)"
  if grep -q ':i386' <<<"$missing" && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends $missing >/dev/null || {
    echo "apt-get could not install: $missing" >&2
    return 1
  }
}
