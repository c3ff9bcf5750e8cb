# Sourced by scripts: start_xvfb starts a private X server (Xvfb) on a free display
# number, exports DISPLAY and records its pid; stop_xvfb stops it.
# -noreset keeps devices made with `xinput create-master` when clients leave.

start_xvfb() {
  local geometry=${1:-1280x1024x24}
  local n
  for n in $(seq 90 140); do
    # A server that was killed leaves its lock and socket behind.
    if [ -e /tmp/.X$n-lock ] && ! kill -0 "$(tr -dc 0-9 </tmp/.X$n-lock)" 2>/dev/null; then
      rm -f /tmp/.X$n-lock /tmp/.X11-unix/X$n
    fi
    [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
    Xvfb :$n -screen 0 "$geometry" -noreset -nolisten tcp >/dev/null 2>&1 &
    VELMORA_XVFB_PID=$!
    local i
    for i in $(seq 1 100); do
      if [ -e /tmp/.X11-unix/X$n ] && xdpyinfo -display :$n >/dev/null 2>&1; then
        export DISPLAY=:$n
        return 0
      fi
      kill -0 "$VELMORA_XVFB_PID" 2>/dev/null || break
      sleep 0.1
    done
    kill "$VELMORA_XVFB_PID" 2>/dev/null
  done
  echo "could not start Xvfb" >&2
  return 1
}

# Ends the server whatever state it is in: SIGTERM, and SIGKILL if it is not gone
# within 5 s (a server busy writing to a client may never reach its handler). A
# server that was killed leaves its lock and socket behind; they go too.
stop_xvfb() {
  local pid=${VELMORA_XVFB_PID:-} n=${DISPLAY:-} i
  n=${n#:}
  [ -n "$pid" ] || return 0
  VELMORA_XVFB_PID=
  # Callers may run under set -e: a server already gone is not a failure.
  kill "$pid" 2>/dev/null || true
  for i in $(seq 1 50); do xvfb_gone "$pid" && break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  for i in $(seq 1 50); do xvfb_gone "$pid" && break; sleep 0.1; done
  wait "$pid" 2>/dev/null || true
  if [ "$(tr -dc 0-9 2>/dev/null </tmp/.X"$n"-lock)" = "$pid" ]; then rm -f /tmp/.X"$n"-lock /tmp/.X11-unix/X"$n"; fi
}

# Gone, or dead and not yet reaped: the third field of stat is the state.
xvfb_gone() {
  case $(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) in "" | Z) return 0 ;; esac
  return 1
}

# wait_velmora_window [N]: waits up to 30 s for N (1) visible windows titled
# Velmora, or "Velmora (...)" when the program tells what it does.
wait_velmora_window() {
  local i
  for i in $(seq 1 300); do
    [ "$(xdotool search --onlyvisible --name '^Velmora( \(.*\))?$' 2>/dev/null | wc -l)" -ge "${1:-1}" ] && return 0
    sleep 0.1
  done
  return 1
}
