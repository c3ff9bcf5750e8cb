#!/usr/bin/env bash
# The OSC stream end to end: the program streams to oscdump (liblo-tools) on this
# machine while run.sh's session (XInput2, three XTest pointers, buttons and
# wheels) and its evdev run (umockdev) go on as usual; then the capture must equal
# the recording row for row, seq without gaps, every device named. The README's
# Python receiver decodes a run of its own. Faults: no receiver, a name that does
# not resolve, a malformed value: one line each, and the program still records.
# Usage: tests/e2e/linux/osc.sh [BUILD_DIR]   (default build/linux)
set -u

# shellcheck source=tools.sh
source "$(dirname "${BASH_SOURCE[0]}")/tools.sh"
use_build osc "${1:-}"
out=$(mktemp -d /tmp/velmora-e2e-osc.XXXXXX)
checker=$(linux_e2e_tool velmora_x11_e2e) || { fail osc "$checker not built"; finish; }
check_recording=$root/tests/e2e/check_recording.py

free_udp_port() {
  python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# wait_bound PORT: until a UDP socket on this machine is bound to the port (10 s at most).
wait_bound() {
  local hex i
  hex=$(printf ':%04X ' "$1")
  for i in $(seq 1 100); do
    grep -q "$hex" /proc/net/udp /proc/net/udp6 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# The README's receiver, exactly as the README shows it.
readme_receiver() {
  sed -n '/^### Receiving the stream in Python/,/^## /p' "$root/README.md" | sed -n '/^```python$/,/^```$/p' | sed '1d;$d'
}

# streamed NAME MODE [OPTIONS] RECEIVER...: runs the checker's MODE with the
# program streaming to the receiver (given a free port as its last argument),
# then checks the receiver's output against the run's recording.
streamed() {
  local name=$1 mode=$2 options=$3 port receiver
  shift 3
  port=$(free_udp_port)
  "$@" "$port" >"$out/$name.osc" 2>&1 &
  receiver=$!
  wait_bound "$port" || fail "$name: the receiver is not listening"
  VELMORA_E2E_ARGS="--osc 127.0.0.1:$port" run_mode 90 "$name" "$checker" "$mode"
  sleep 0.5  # the last datagrams
  kill "$receiver" 2>/dev/null; wait "$receiver" 2>/dev/null
  local said
  # shellcheck disable=SC2086 # options: split at spaces
  if said=$(python3 "$check_recording" "$out/$name" $options "$out/$name.osc"); then
    pass "$name: $said"
  else
    fail "$name: the stream against the recording" "$said"
  fi
}

# fault NAME VALUE EXPECTED-LINE: the program runs with --osc VALUE, shows a few
# packets, and says EXPECTED-LINE (a pattern) once on stderr; log.csv holds them.
fault() {
  local name=$1 value=$2 line=$3
  VELMORA_E2E_ARGS="--osc $value" run_mode 60 "$name" "$checker" close-kill
  local said
  said=$(grep -c -- "$line" "$out/$name/stderr.txt")
  if [ "$said" = 1 ] && [ "$(grep -c . "$out/$name/stderr.txt")" = 1 ]; then
    pass "$name: one line on stderr: $(cat "$out/$name/stderr.txt")"
  else
    fail "$name: stderr should say '$line' once and nothing else" "$(head -c 300 "$out/$name/stderr.txt")"
  fi
}

if ! command -v oscdump >/dev/null; then
  skip osc "oscdump (liblo-tools) is not installed"
  finish
fi
if setup_server; then
  streamed osc-xi2 session "--ordered --named --osc-dump" oscdump -L
  # Idle for 1.5 s before its end: the devices are named again.
  streamed osc-idle close-kill "--osc-repeat --osc-dump" oscdump -L
  streamed osc-python close-wm "--osc-example" python3 -c "$(readme_receiver)"
  if command -v umockdev-run >/dev/null && ldconfig -p | grep -q libumockdev-preload.so.0; then
    streamed osc-evdev evdev "--osc-dump" oscdump -L
  else
    skip osc-evdev "umockdev is not installed"
  fi
  fault osc-no-receiver "127.0.0.1:$(free_udp_port)" "nothing receives the stream at 127.0.0.1:[0-9]* (Connection refused); recording goes on"
  # Without a name server to ask, the resolver gives up within a second or two.
  RES_OPTIONS="timeout:1 attempts:1" fault osc-unresolvable "nosuch.invalid:9000" "cannot stream to nosuch.invalid:9000: .*; running without the stream"
  fault osc-malformed "9000" '--osc wants HOST:PORT (.*), not "9000"; running without the stream'
else
  fail setup "Xvfb with three extra master pointers"
fi
finish
