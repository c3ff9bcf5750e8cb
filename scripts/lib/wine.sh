# Sourced by scripts: start_wine makes a throw-away Wine prefix (one per run, since
# `wineboot -i` is slow) and keeps its wineserver up; stop_wine ends the server and
# removes the prefix. Needs DISPLAY (start_xvfb) when programs open windows.

start_wine() {
  VELMORA_WINE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine.XXXXXX") || return 1
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
