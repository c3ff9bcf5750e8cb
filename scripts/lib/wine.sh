# Sourced by scripts: start_wine makes a throw-away Wine prefix (one per run, since
# `wineboot -i` is slow) and keeps its wineserver up; stop_wine ends the server and
# removes the prefix. Needs DISPLAY (start_xvfb) when programs open windows.
#
# Some hosts run no 32-bit Linux programs. There Debian's `wine` command fails
# whenever wine32 is installed, since it always starts the 32-bit loader; such a
# host runs 64-bit programs through Wine's 64-bit loader and cannot run 32-bit
# Windows programs at all. wine32_runs tells which kind of host this is.

VELMORA_WINE64_LOADER=/usr/lib/wine/wine64
VELMORA_WINE32_LOADER=/usr/lib/wine/wine

# True when Wine's 32-bit loader starts here; otherwise false, with the reason in
# VELMORA_WINE32_WHY.
wine32_runs() {
  if [ ! -x "$VELMORA_WINE32_LOADER" ]; then
    VELMORA_WINE32_WHY="Wine's 32-bit loader (wine32) is not installed"
    return 1
  fi
  if ! "$VELMORA_WINE32_LOADER" --version >/dev/null 2>&1; then
    VELMORA_WINE32_WHY="this host runs no 32-bit programs: Wine's 32-bit loader does not start"
    return 1
  fi
  VELMORA_WINE32_WHY=
}

# Where the 32-bit loader cannot start, `wine` and the commands built on it
# (wineboot, via wine-stable) go to the 64-bit loader through shims in dir.
use_wine64_loader() {
  local dir=$1 name
  mkdir -p "$dir"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexec %s "$@"\n' "$VELMORA_WINE64_LOADER" >"$dir/$name"
    chmod +x "$dir/$name"
  done
  export WINELOADER=$VELMORA_WINE64_LOADER
  export PATH="$dir:$PATH"
}

start_wine() {
  VELMORA_WINE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine.XXXXXX") || return 1
  wine32_runs || use_wine64_loader "$VELMORA_WINE_DIR/bin"
  export WINEPREFIX="$VELMORA_WINE_DIR/prefix"
  # A 64-bit prefix runs the 32-bit and the 64-bit builds alike.
  export WINEARCH=win64
  export WINEDEBUG=-all
  # No Mono or Gecko install prompts, no desktop menu entries.
  export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
  mkdir -p "$WINEPREFIX"
  # A persistent server spares each later `wine` the server start-up.
  wineserver -p >/dev/null 2>&1 || { echo "could not start wineserver" >&2; return 1; }
  if ! timeout 300 wineboot -i >"$VELMORA_WINE_DIR/wineboot.log" 2>&1; then
    echo "wineboot -i failed:" >&2
    tail -n 20 "$VELMORA_WINE_DIR/wineboot.log" >&2
    return 1
  fi
  # Wine's own bitmap fonts (fonts-wine) give the form its designed font; this
  # Wine does not find them until they stand in the prefix's font folder.
  if [ -d /usr/share/wine/fonts ]; then
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  fi
}

stop_wine() {
  if [ -n "${VELMORA_WINE_DIR:-}" ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    rm -rf "$VELMORA_WINE_DIR" || true
    VELMORA_WINE_DIR=
  fi
}
