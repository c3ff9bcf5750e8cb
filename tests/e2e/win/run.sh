#!/usr/bin/env bash
# End-to-end checks of the Windows builds under Wine on a private Xvfb.
#
#   tests/e2e/win/run.sh [BUILD_DIR...]     default: build/windows-x64 build/windows-x86
#
# VELMORA_E2E_KEEP=1 keeps the working directories (dumps, stdout, log.txt) and
# says where they are.
#
# Each BUILD_DIR holds velmora.exe and velmora_probe.exe. Every check prints
# "PASS name" or "FAIL name: detail"; the last line is "N passed, M failed" and
# the exit status is non-zero when anything failed.
set -u

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
. "$root/scripts/lib/xvfb.sh"
. "$root/scripts/lib/wine.sh"
. "$root/scripts/lib/checks.sh"

if [ $# -gt 0 ]; then
  builds=("$@")
else
  builds=("$root/build/windows-x64" "$root/build/windows-x86")
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-e2e.XXXXXX")
app_pid=
immutable=   # a folder made immutable, to make writable again
cleanup() {
  [ -n "$immutable" ] && chattr -i "$immutable" 2>/dev/null
  if [ -n "$app_pid" ]; then kill -9 "$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null; fi
  drop_second_prefix
  stop_wine
  stop_xvfb
  if [ -n "${VELMORA_E2E_KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Parked here, the pointer is off the window: nothing enters it by chance.
park_x=1279
park_y=1023

# ---- helpers ---------------------------------------------------------------------

# Bounded: a Wine dialog or a hung window must not stall the whole run.
probe() { timeout 60 wine "$probe_exe" "$@" 2>>"$work/probe.err"; }

# Splits a probe record into the array f; empty fields survive.
fields() { IFS=$'\x1f' read -r -a f <<<"${1//$'\t'/$'\x1f'}"; }

# The dump's record of the child whose top-left is client (x, y).
child_record() { awk -F'\t' -v x="$2" -v y="$3" '$1 == "child" && $5 == x && $6 == y' "$1"; }

start_app() {
  rundir=$(mktemp -d "$work/run.XXXXXX")
  xdotool mousemove "$park_x" "$park_y"
  # shellcheck disable=SC2086 # app_args: options, split at spaces
  (cd "$rundir" && exec wine "$exe" ${app_args:-} >stdout.txt 2>stderr.txt) &
  app_pid=$!
  if ! probe wait 30000; then
    fail "$tag window appears" "no visible window titled Velmora within 30 s"
    kill -9 "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
    app_pid=
    return 1
  fi
}

# Waits up to 15 s for a process to end; false when it is still running.
wait_exit() {
  local i
  for i in $(seq 1 150); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}

# Closes the window through the probe and waits for the program; sets app_rc.
close_app() {
  app_rc=
  probe close
  if ! wait_exit "$app_pid"; then
    kill -9 "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
    app_pid=
    return 1
  fi
  wait "$app_pid"
  app_rc=$?
  app_pid=
}

# After the program ended: stdout holds exactly the given line (CR LF or LF), or
# nothing when it is empty.
check_stdout() {
  local want=$1 printed name
  printed=$(tr -d '\r' <"$rundir/stdout.txt")
  if [ -n "$want" ]; then name="stdout holds only the size diagnostic"; else name="stdout stays empty"; fi
  if [ "$printed" = "$want" ]; then pass "$tag $name"
  else fail "$tag $name" "stdout: $(head -c 300 "$rundir/stdout.txt" | tr '\r\n' '  ')"; fi
}

check_exit() {
  if close_app; then
    if [ "$app_rc" = 0 ]; then pass "$tag $1: closing the window ends the program with exit code 0"
    else fail "$tag $1: closing the window ends the program with exit code 0" "exit code $app_rc"; fi
  else
    fail "$tag $1: closing the window ends the program with exit code 0" "still running 15 s after WM_CLOSE"
  fi
}

# ---- the window as it starts --------------------------------------------------------

# name class left top width height enabled text
controls=(
  "Label1 Static 104 328 32 13 1 Label1"
  "Label2 Static 40 248 32 13 1 Label2"
  "Label3 Static 40 264 32 13 1 Label3"
  "Label4 Static 40 280 32 13 1 Label4"
  "Label5 Static 40 296 32 13 1 Label5"
  "Label6 Static 416 304 32 13 1 Label6"
  "btnCopy Button 272 296 75 25 0 Copy"
  "Edit1 Edit 464 88 121 21 0 "
  "Memo1 VelmoraPanel 8 8 377 105 0 "
)

check_window() {
  local dump=$1 record problems=()
  record=$(awk -F'\t' '$1 == "window"' "$dump")
  fields "$record"
  [ "${f[1]-}" = Velmora ] || problems+=("caption '${f[1]-}'")
  [ "${f[2]-} ${f[3]-} ${f[4]-} ${f[5]-}" = "192 114 696 376" ] ||
    problems+=("outer rect ${f[2]-} ${f[3]-} ${f[4]-} ${f[5]-}, want 192 114 696 376")
  [ "${f[10]-}" = 1 ] || problems+=("not visible")
  # No sizing rule is set, so the window keeps the default sizing border.
  (( 16#${f[12]:-0} & 0x40000 )) || problems+=("no sizing border (style ${f[12]-})")
  if [ ${#problems[@]} -eq 0 ]; then pass "$tag window: caption Velmora, outer rect 192,114 696x376, resizable"
  else fail "$tag window: caption Velmora, outer rect 192,114 696x376, resizable" "$(IFS=';'; echo "${problems[*]}")"; fi
}

check_controls() {
  local dump=$1 entry name cls x y w h en text record problems style
  for entry in "${controls[@]}"; do
    read -r name cls x y w h en text <<<"$entry"
    problems=()
    record=$(child_record "$dump" "$x" "$y")
    if [ -z "$record" ]; then
      fail "$tag $name stands as described" "no child window with its top-left at client ($x, $y)"
      continue
    fi
    fields "$record"
    [ "${f[2],,}" = "${cls,,}" ] || problems+=("class ${f[2]}, want $cls")
    [ "${f[6]}x${f[7]}" = "${w}x${h}" ] || problems+=("size ${f[6]}x${f[7]}, want ${w}x${h}")
    [ "${f[8]}" = "$en" ] || problems+=("enabled ${f[8]}, want $en")
    [ "${f[9]}" = 1 ] || problems+=("not visible")
    style=$((16#${f[10]}))
    case $name in
      Memo1)
        (( style & 0x4 )) || problems+=("not multi-line")
        (( style & 0x800 )) || problems+=("not read-only") ;;
      *)
        [ "${f[11]-}" = "$text" ] || problems+=("text '${f[11]-}', want '$text'") ;;
    esac
    [ "$name" = Edit1 ] && (( style & 0x4 )) && problems+=("multi-line")
    # The Esc key reaches the cancel button through its id.
    [ "$name" = btnCopy ] && [ "${f[3]}" != 2 ] && problems+=("id ${f[3]}, want 2 (IDCANCEL)")
    if [ ${#problems[@]} -eq 0 ]; then pass "$tag $name stands as described"
    else fail "$tag $name stands as described" "$(IFS=';'; echo "${problems[*]}")"; fi
  done
  local n
  n=$(awk -F'\t' '$1 == "child"' "$dump" | wc -l)
  if [ "$n" -eq ${#controls[@]} ]; then pass "$tag the window has exactly ${#controls[@]} controls"
  else fail "$tag the window has exactly ${#controls[@]} controls" "$n child windows"; fi
}

# Memo1 at start: "<i> <handle>  <Type>" for each device, i from 0, each mouse with a
# handle followed by "Amouse[<k>] = <handle>", k from 0.
check_device_list() {
  local lines=$1 out
  out=$(awk '
    BEGIN { i = 0; k = 0; want_amouse = ""; bad = "" }
    {
      if (want_amouse != "") {
        if ($0 != want_amouse) { bad = "line " NR ": \"" $0 "\", want \"" want_amouse "\""; exit }
        want_amouse = ""; k++; next
      }
      if ($0 !~ /^[0-9]+ -?[0-9]+  (Mouse|Keyboard|HID)?$/) { bad = "line " NR " out of format: \"" $0 "\""; exit }
      split($0, p, " ")
      if (p[1] != i) { bad = "line " NR " numbered " p[1] ", want " i; exit }
      if (p[3] == "Mouse" && p[2] != 0) want_amouse = "Amouse[" k "] = " p[2]
      i++
    }
    END {
      if (bad == "" && want_amouse != "") bad = "no Amouse line after the last mouse"
      if (bad == "" && i == 0) bad = "no devices listed"
      if (bad == "" && i > 10) bad = i " devices listed, at most 10"
      if (bad == "" && k == 0) bad = "no mouse in the table"
      if (bad != "") print "bad " bad; else print "ok " i " " k
    }' "$lines")
  if [ "${out%% *}" = ok ]; then
    read -r _ n_devices n_mice <<<"$out"
    pass "$tag Memo1 lists the devices ($n_devices devices, $n_mice mice) in the table's format"
  else
    fail "$tag Memo1 lists the devices in the table's format" "${out#bad }"
  fi
}

# A message 255 whose handle names no packet: the size diagnostic on stdout, and
# nothing else changes. Sent before any packet, so a stray "Hola" or record shows.
check_bogus_packet() {
  local before=$rundir/before-255.txt after=$rundir/after-255.txt i
  probe dump >"$before"
  probe post 255 0 0x7fff1234
  for i in $(seq 1 50); do
    grep -q "GetRawInputData doesn't return correct size!" "$rundir/stdout.txt" && break
    sleep 0.1
  done
  if grep -q "GetRawInputData doesn't return correct size!" "$rundir/stdout.txt"; then
    pass "$tag message 255 with a made-up handle prints the size diagnostic"
  else
    fail "$tag message 255 with a made-up handle prints the size diagnostic" "stdout: $(head -c 200 "$rundir/stdout.txt" | tr '\r\n' '  ')"
  fi
  probe dump >"$after"
  if cmp -s "$before" "$after"; then pass "$tag message 255 with a made-up handle changes no label, line or control"
  else fail "$tag message 255 with a made-up handle changes no label, line or control" "$(diff "$before" "$after" | grep '^[<>]' | head -4 | tr '\t\n' ' |')"; fi
}

quiet_run() {
  start_app || return
  local dump=$rundir/dump.txt
  probe dump >"$dump"
  check_window "$dump"
  check_controls "$dump"
  local memo
  memo=$(awk -F'\t' '$1 == "child" && $5 == 8 && $6 == 8 { print $2 }' "$dump")
  awk -F'\t' -v c="$memo" '$1 == "line" && $2 == c' "$dump" | cut -f4- >"$rundir/devices.txt"
  check_device_list "$rundir/devices.txt"
  if [ ! -s "$rundir/stdout.txt" ]; then pass "$tag registration succeeds: nothing on stdout"
  else fail "$tag registration succeeds: nothing on stdout" "stdout: $(head -c 200 "$rundir/stdout.txt" | tr '\r\n' '  ')"; fi
  check_bogus_packet
  check_exit "quiet run"
  check_stdout "GetRawInputData doesn't return correct size!"
  if [ -f "$rundir/log.txt" ] && [ ! -s "$rundir/log.txt" ]; then pass "$tag log.txt exists and is empty after a run without packets"
  elif [ -f "$rundir/log.txt" ]; then fail "$tag log.txt exists and is empty after a run without packets" "$(wc -c <"$rundir/log.txt") bytes"
  else fail "$tag log.txt exists and is empty after a run without packets" "no log.txt in the working directory"; fi
}

# ---- packets ------------------------------------------------------------------------

# Memo1's lines now, into a file.
read_memo() { probe wait-lines 8 8 0 0 | cut -f3- >"$1"; }

# Runs an action (xdotool arguments) and checks that exactly the expected records
# were appended to Memo1. Wine folds pointer motions that arrive before it reads
# them into one packet, so each action waits for its own records.
expect_records() {
  local name=$1 action=$2
  shift 2
  local before after n want
  read_memo "$rundir/before.txt"
  n=$(wc -l <"$rundir/before.txt")
  xdotool $action
  probe wait-lines 8 8 $((n + $#)) 5000 >/dev/null
  # A stray packet would land right behind the awaited ones.
  sleep 0.3
  read_memo "$rundir/after.txt"
  after=$(tail -n +$((n + 1)) "$rundir/after.txt")
  want=$(printf '%s\n' "$@")
  if [ "$after" = "$want" ]; then pass "$tag $name"
  else fail "$tag $name" "new Memo1 lines: [$(echo "$after" | tr '\n' '|')], want [$(echo "$want" | tr '\n' '|')]"; fi
}

label_is() {
  local name=$1 x=$2 y=$3 want=$4 got
  got=$(probe wait-text "$x" "$y" "$want" 5000 | cut -f2-)
  if [ "$got" = "$want" ]; then pass "$tag $name"
  else fail "$tag $name" "'$got', want '$want'"; fi
}

packet_run() {
  start_app || return
  probe focus || fail "$tag window takes the foreground" "GetForegroundWindow is another window"
  local origin ox oy
  origin=$(probe origin)
  fields "$origin"
  ox=${f[1]-0} oy=${f[2]-0}

  xdotool mousemove "$ox" "$oy"
  label_is "Label2 shows X = 0 , 0 at the client area's top-left" 40 248 "X = 0 , 0"
  xdotool mousemove $((ox + 300)) $((oy + 200))
  label_is "Label2 follows the pointer to client (300, 200)" 40 248 "X = 300 , 200"
  # Entering the window made packets of its own; let them land first.
  sleep 0.5

  # Wine's one pointer is the first mouse listed: table index 0.
  local num=0
  expect_records "relative motion 5,3 gives one record" "mousemove_relative -- 5 3" \
    "Mouse: num $num, usFlags=0000 ulButtons=0000 usButtonFlags=0000 usButtonData=0000 ulRawButtons=0000 lLastX=0005 lLastY=0003 ulExtraInformation=0000"
  label_is "Label1 reads Hola after a packet" 104 328 "Hola"
  expect_records "negative motion prints all 32 bits" "mousemove_relative -- -7 -2" \
    "Mouse: num $num, usFlags=0000 ulButtons=0000 usButtonFlags=0000 usButtonData=0000 ulRawButtons=0000 lLastX=fffffff9 lLastY=fffffffe ulExtraInformation=0000"
  expect_records "left click gives button flags 0001 then 0002" "click 1" \
    "Mouse: num $num, usFlags=0000 ulButtons=0001 usButtonFlags=0001 usButtonData=0000 ulRawButtons=0000 lLastX=0000 lLastY=0000 ulExtraInformation=0000" \
    "Mouse: num $num, usFlags=0000 ulButtons=0002 usButtonFlags=0002 usButtonData=0000 ulRawButtons=0000 lLastX=0000 lLastY=0000 ulExtraInformation=0000"
  expect_records "wheel forward gives 0400 with data 0078" "click 4" \
    "Mouse: num $num, usFlags=0000 ulButtons=780400 usButtonFlags=0400 usButtonData=0078 ulRawButtons=0000 lLastX=0000 lLastY=0000 ulExtraInformation=0000"
  expect_records "wheel back gives 0400 with data ff88" "click 5" \
    "Mouse: num $num, usFlags=0000 ulButtons=ff880400 usButtonFlags=0400 usButtonData=ff88 ulRawButtons=0000 lLastX=0000 lLastY=0000 ulExtraInformation=0000"

  read_memo "$rundir/memo-final.txt"
  check_exit "packet run"

  check_stdout ""
  check_log "$rundir/memo-final.txt" "$rundir/log.txt"
  check_recording "$rundir"
}

# The recording beside log.txt: Wine's mouse has a name, and its packets' times
# never go back.
check_recording() {
  local problem
  # shellcheck disable=SC2086 # recording_options: options, split at spaces
  if problem=$(python3 "$root/tests/e2e/check_recording.py" "$1" --ordered --named --min-rows 7 ${recording_options:-}); then
    pass "$tag log.csv holds log.txt's records with times that never go back; devices.csv names the mouse${recording_options:+; the stream oscdump captured equals it}"
  else
    fail "$tag log.csv against log.txt" "$problem"
  fi
}

# streamed RUN: the run with the program streaming (--osc) to oscdump on this
# machine; its recording check then compares oscdump's capture with log.csv too.
streamed() {
  local port receiver i
  port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  oscdump -L "$port" >"$work/oscdump-$tag.txt" 2>&1 &
  receiver=$!
  for i in $(seq 1 100); do grep -q "$(printf ':%04X ' "$port")" /proc/net/udp && break; sleep 0.1; done
  app_args="--osc 127.0.0.1:$port" recording_options="--osc-dump $work/oscdump-$tag.txt" "$@"
  kill "$receiver" 2>/dev/null
  wait "$receiver" 2>/dev/null
}

# log.txt must hold exactly the records Memo1 showed, in order. The memo drops the
# record's CR LF; on disk the text-mode stream turns its LF into CR LF.
check_log() {
  local memo=$1 log=$2 records=$work/records.txt ending
  local name="log.txt holds every record of Memo1 in order"
  grep '^Mouse: ' "$memo" >"$records"
  if [ ! -s "$records" ]; then fail "$tag $name" "Memo1 shows no records"; return; fi
  if [ ! -f "$log" ]; then fail "$tag $name" "no log.txt"; return; fi
  for ending in 'CR CR LF' 'CR LF'; do
    case $ending in
      'CR CR LF') sed 's/$/\r\r/' "$records" >"$work/want.txt" ;;
      'CR LF') sed 's/$/\r/' "$records" >"$work/want.txt" ;;
    esac
    if cmp -s "$work/want.txt" "$log"; then
      pass "$tag $name ($(wc -l <"$records") records, each ending $ending)"
      return
    fi
  done
  fail "$tag $name" "$(wc -l <"$records") records in Memo1, log.txt differs; log starts: $(head -c 200 "$log" | od -An -c | tr -s ' \n' ' ')"
}

# ---- a burst of clicks --------------------------------------------------------------

# Unix time in ms, the clock the probe's "settled" time uses too.
now_ms() { date +%s%3N; }

# The panel's start-up lines (device list, Amouse lines): everything before the
# first record.
startup_lines() { awk '/^Mouse: / { exit } { print }' "$1"; }

# The pointer over the window's open area, clear of the controls.
pointer_into_window() {
  local origin
  origin=$(probe origin)
  fields "$origin"
  xdotool mousemove $((${f[1]-0} + 300)) $((${f[2]-0} + 200))
  # Entering the window makes packets of its own; let them land.
  sleep 0.5
}

# 1000 left clicks as fast as xdotool sends them, through Wine's real raw input.
# Every one of the 2000 button packets must reach log.txt, and the panel must show
# the last of them within a second of the burst's end.
burst_run() {
  local clicks=1000
  start_app || return
  probe focus || fail "$tag window takes the foreground" "GetForegroundWindow is another window"
  read_memo "$rundir/memo-start.txt"
  startup_lines "$rundir/memo-start.txt" >"$rundir/startup.txt"
  pointer_into_window

  # The probe watches the panel through the burst and says when it last changed.
  local settle=$rundir/settle.txt settle_pid i
  probe settle 8 8 1500 50000 >"$settle" &
  settle_pid=$!
  for i in $(seq 1 200); do
    grep -q '^watching' "$settle" && break
    sleep 0.05
  done
  local t0 t1 settled lag
  t0=$(now_ms)
  xdotool click --repeat "$clicks" --delay 1 1
  t1=$(now_ms)
  wait "$settle_pid"
  local settle_rc=$?
  settled=$(awk -F'\t' '$1 == "settled" { print $2 }' "$settle")
  awk -F'\t' '$1 == "line"' "$settle" | cut -f3- >"$rundir/memo-final.txt"
  local name="the panel shows the burst's last packet within 1 s of its end"
  if [[ $settled =~ ^[0-9]+$ ]]; then
    lag=$((settled - t1))
    echo "     burst of $clicks clicks: xdotool took $((t1 - t0)) ms, the panel settled $lag ms after it"
    if [ "$settle_rc" != 0 ]; then fail "$tag $name" "the panel still changed $lag ms after the burst"
    elif [ "$lag" -le 1000 ]; then pass "$tag $name ($lag ms)"
    else fail "$tag $name" "the panel last changed $lag ms after the burst"; fi
  else
    fail "$tag $name" "the panel did not settle: $(head -c 200 "$settle" | tr '\t\n' ' |')"
  fi

  # Start-up lines stay on top however many records rolled through.
  name="after $((2 * clicks)) records the panel still begins with its start-up lines"
  local n_start
  n_start=$(wc -l <"$rundir/startup.txt")
  if [ "$n_start" -gt 0 ] && head -n "$n_start" "$rundir/memo-final.txt" | cmp -s - "$rundir/startup.txt"; then
    pass "$tag $name ($n_start lines)"
  else
    fail "$tag $name" "panel begins: $(head -n 3 "$rundir/memo-final.txt" | tr '\n' '|'), want: $(head -n 3 "$rundir/startup.txt" | tr '\n' '|')"
  fi

  check_exit "burst run"
  check_stdout ""
  check_burst_log "$rundir/log.txt" "$rundir/memo-final.txt" "$clicks"
}

# The log holds the clicks' 2 * n button records, down then up in turn; motion
# records may come between them. The panel's records are the log's last ones, so
# its last record is the burst's last packet.
check_burst_log() {
  local log=$1 memo=$2 clicks=$3 out
  local name="log.txt holds all $((2 * clicks)) button records of the burst, down and up in turn"
  out=$(tr -d '\r' <"$log" | awk -v clicks="$clicks" '
    BEGIN { n = 0; bad = "" }
    !/^Mouse: num 0, / { bad = "line " NR " not a record of mouse 0: " $0; exit }
    {
      match($0, /usButtonFlags=[0-9a-f]+/)
      flags = substr($0, RSTART + 14, RLENGTH - 14)
      if (flags == "0000") next
      want = (n % 2 == 0) ? "0001" : "0002"
      if (flags != want) { bad = "button record " n + 1 " (line " NR ") has flags " flags ", want " want; exit }
      n++
    }
    END {
      if (bad == "" && n != 2 * clicks) bad = n " button records, want " 2 * clicks
      if (bad != "") print "bad " bad; else print "ok"
    }')
  if [ "$out" = ok ]; then pass "$tag $name"; else fail "$tag $name" "${out#bad }"; fi

  name="the panel's records are the log's last ones, ending with the last release"
  grep '^Mouse: ' "$memo" >"$work/records.txt"
  local n
  n=$(wc -l <"$work/records.txt")
  if [ "$n" -gt 0 ] && tr -d '\r' <"$log" | tail -n "$n" | cmp -s - "$work/records.txt" &&
     tail -n 1 "$work/records.txt" | grep -q 'usButtonFlags=0002 '; then
    pass "$tag $name ($n records)"
  else
    fail "$tag $name" "panel's last record: $(tail -n 1 "$work/records.txt"); log's: $(tr -d '\r' <"$log" | tail -n 1)"
  fi
}

# ---- the session ends ---------------------------------------------------------------

# Log-off or shut-down ends the program without WM_CLOSE; the log must still be whole.
# Wine sends WM_QUERYENDSESSION and WM_ENDSESSION on `wineboot --end-session`, then
# ends what still runs. Last of a build's runs, since it ends every Wine program.
session_end_run() {
  start_app || return
  probe focus || fail "$tag window takes the foreground" "GetForegroundWindow is another window"
  pointer_into_window
  read_memo "$rundir/before.txt"
  local n i
  n=$(wc -l <"$rundir/before.txt")
  xdotool click --repeat 3 --delay 50 1
  probe wait-lines 8 8 $((n + 6)) 5000 >/dev/null
  sleep 0.3
  read_memo "$rundir/memo-final.txt"
  timeout 60 wineboot --end-session >"$rundir/wineboot.txt" 2>&1
  if ! wait_exit "$app_pid"; then
    fail "$tag the program ends with the session" "still running 15 s after wineboot --end-session"
    kill -9 "$app_pid" 2>/dev/null
  else
    pass "$tag the program ends with the session"
  fi
  wait "$app_pid" 2>/dev/null
  app_pid=
  check_log "$rundir/memo-final.txt" "$rundir/log.txt"
}

# ---- an abrupt end ------------------------------------------------------------------

# TerminateProcess (taskkill /f, Task Manager's End task) 1.5 s after the last
# packet: the idle program has every record on disk already.
abrupt_end_run() {
  start_app || return
  probe focus || fail "$tag window takes the foreground" "GetForegroundWindow is another window"
  pointer_into_window
  read_memo "$rundir/before.txt"
  local n
  n=$(wc -l <"$rundir/before.txt")
  xdotool click --repeat 20 --delay 20 1
  probe wait-lines 8 8 $((n + 40)) 5000 >/dev/null
  sleep 1.5
  read_memo "$rundir/memo-final.txt"
  timeout 60 wine taskkill /f /im velmora.exe >"$rundir/taskkill.txt" 2>&1
  wait_exit "$app_pid" || kill -9 "$app_pid" 2>/dev/null
  wait "$app_pid" 2>/dev/null
  app_pid=
  local build_tag=$tag
  tag="$tag after taskkill /f:"
  check_log "$rundir/memo-final.txt" "$rundir/log.txt"
  check_recording "$rundir"
  tag=$build_tag
}

# ---- two copies in one folder ---------------------------------------------------------

# Copy A logs; copy B starts in the same folder and must leave A's log.txt alone
# while A logs on. The probe tells the two windows apart by process id.
two_copies_run() {
  start_app || return
  local a_pid b_pid b_app_pid i n
  a_pid=$(probe pids | cut -f2)
  probe focus || fail "$tag window takes the foreground" "GetForegroundWindow is another window"
  pointer_into_window
  # Enough records (12 KB) that A's stream has written some of them to the file:
  # its buffer is smaller than that.
  xdotool click --repeat 40 --delay 10 1
  sleep 0.5

  (cd "$rundir" && exec wine "$exe" >stdout-b.txt 2>stderr-b.txt) &
  b_app_pid=$!
  b_pid=
  for i in $(seq 1 300); do
    b_pid=$(probe pids | cut -f2 | grep -vx "$a_pid" | head -n 1)
    [ -n "$b_pid" ] && break
    sleep 0.1
  done
  if [ -z "$b_pid" ]; then
    fail "$tag a second copy starts in the same folder" "no second window within 30 s"
    kill -9 "$b_app_pid" 2>/dev/null
    wait "$b_app_pid" 2>/dev/null
    close_app
    return
  fi
  pass "$tag a second copy starts in the same folder"
  check_title "$tag copy B" "Velmora (not logging: another copy is logging here)" "$b_pid"

  export VELMORA_PROBE_PID=$a_pid
  probe focus || fail "$tag copy A takes the foreground back" "GetForegroundWindow is another window"
  read_memo "$rundir/before.txt"
  # Motions, not clicks: B's window lies over A's, and a click would bring B forward.
  for i in $(seq 1 10); do
    xdotool mousemove_relative -- $((i % 2 ? 4 : -4)) 0
    sleep 0.05
  done
  sleep 0.5
  read_memo "$rundir/memo-a.txt"
  n=$(( $(grep -c '^Mouse: ' "$rundir/memo-a.txt") - $(grep -c '^Mouse: ' "$rundir/before.txt") ))
  if [ "$n" -gt 0 ]; then pass "$tag copy A logs on after copy B started ($n records)"
  else fail "$tag copy A logs on after copy B started" "no new records in A's panel"; fi

  VELMORA_PROBE_PID=$b_pid probe close
  if ! wait_exit "$b_app_pid"; then
    fail "$tag copy B closes alone" "still running 15 s after WM_CLOSE"
    kill -9 "$b_app_pid" 2>/dev/null
  elif ! probe wait 1000 >/dev/null; then
    fail "$tag copy B closes alone" "copy A's window went too"
  else
    pass "$tag copy B closes alone"
  fi
  wait "$b_app_pid" 2>/dev/null
  # B's window going away makes a packet of its own in A.
  sleep 0.5
  read_memo "$rundir/memo-a.txt"
  check_exit "two copies, copy A"
  unset VELMORA_PROBE_PID

  check_log "$rundir/memo-a.txt" "$rundir/log.txt"
  if [ -f "$rundir/log.txt" ] && ! tr -d '\000' <"$rundir/log.txt" | cmp -s - "$rundir/log.txt"; then
    fail "$tag copy A's log.txt holds no NUL byte" "$(tr -cd '\000' <"$rundir/log.txt" | wc -c) NUL bytes"
  else
    pass "$tag copy A's log.txt holds no NUL byte"
  fi
  if [ ! -s "$rundir/stdout-b.txt" ]; then pass "$tag copy B prints nothing"
  else fail "$tag copy B prints nothing" "stdout: $(head -c 200 "$rundir/stdout-b.txt" | tr '\r\n' '  ')"; fi
  check_told_held "$tag copy B" "$rundir/stderr-b.txt"
}

# check_told_held <name> <stderr file>: the copy that found the log held said so
# in exactly one line.
check_told_held() {
  local said
  said=$(tr -d '\r' <"$2")
  if [[ $said =~ ^velmora:\ another\ copy\ of\ Velmora\ is\ using\ log\.txt\ in\ [^$'\n']+\;\ this\ copy\ keeps\ no\ log$ ]]; then
    pass "$1 says once on stderr that it keeps no log"
  else
    fail "$1 says once on stderr that it keeps no log" "stderr: $(head -c 300 "$2" | tr '\r\n' '  ')"
  fi
}

# ---- the command line ------------------------------------------------------------------

# --help (also -h and /?) and --version answer on stdout and exit 0; an unknown
# option, "-" or "/" on Windows, gets one line on stderr and exit status 2. None
# opens a window or touches a file: log.txt stays as it was, no recording appears.
command_line_run() {
  local dir entry option want_rc want_out want_err rc usage="usage: velmora [--background] [--osc HOST:PORT] [--help | --version]"
  dir=$(mktemp -d "$work/options.XXXXXX")
  local cases=("--version#0#velmora $version#" "--help#0#$usage#" "-h#0#$usage#" "/?#0#$usage#"
    "--bogus#2##velmora: unknown option --bogus (try --help)" "/bogus#2##velmora: unknown option /bogus (try --help)")
  for entry in "${cases[@]}"; do
    IFS='#' read -r option want_rc want_out want_err <<<"$entry"
    rm -f "$dir"/*
    printf 'old\r\n' >"$dir/log.txt"
    (cd "$dir" && exec timeout 60 wine "$exe" notes "$option" >stdout.txt 2>stderr.txt)
    rc=$?
    if [ "$rc" = "$want_rc" ] && [ "$(tr -d '\r' <"$dir/stdout.txt" | head -n 1)" = "$want_out" ] &&
      [ "$(tr -d '\r' <"$dir/stderr.txt" | grep -v ':fixme:')" = "$want_err" ] &&
      [ "$(cat "$dir/log.txt")" = $'old\r' ] && [ ! -e "$dir/log.csv" ] &&
      ! xdotool search --name '^Velmora' >/dev/null 2>&1; then
      pass "$tag $option: exit status $want_rc, answers as it should, opens no window, touches no file"
    else
      fail "$tag $option: exit status $want_rc, answers, opens no window, touches no file" \
        "exit status $rc, stdout '$(head -c 100 "$dir/stdout.txt")', stderr '$(head -c 200 "$dir/stderr.txt")', files $(ls "$dir" | tr '\n' ' ')"
    fi
  done
}

# ---- the title, and packets while another window is in the foreground ----------------

# check_title <name> <title> [pid]: the window (of that process) bears the title.
check_title() {
  local got
  got=$(VELMORA_PROBE_PID=${3-} probe dump | awk -F'\t' '$1 == "window" { print $2 }')
  if [ "$got" = "$2" ]; then pass "$1: the title reads '$2'"
  else fail "$1: the title reads '$2'" "'$got'"; fi
}

# The probe's own window takes the foreground and the pointer moves over it:
# with --background every packet still reaches the program, without it none.
background_run() {
  local option=$1 held before after moves=10 i
  app_args=$option start_app || return
  if [ -n "$option" ]; then check_title "$tag $option" "Velmora (background)"; else check_title "$tag" "Velmora"; fi
  probe focus || fail "$tag window takes the foreground" "GetForegroundWindow is another window"
  held=$work/held.txt
  probe hold-focus 8000 >"$held" &
  local holder=$!
  for i in $(seq 1 100); do grep -q holding "$held" && break; sleep 0.1; done
  xdotool mousemove 100 100
  sleep 0.3
  read_memo "$rundir/before.txt"
  for i in $(seq 1 $moves); do
    xdotool mousemove_relative -- $((i % 2 ? 4 : -4)) 0
    sleep 0.05
  done
  sleep 1
  read_memo "$rundir/memo-final.txt"
  wait "$holder"
  before=$(grep -c '^Mouse: ' "$rundir/before.txt")
  after=$(grep -c '^Mouse: ' "$rundir/memo-final.txt")
  local name="${option:-without --background}: another window in the foreground"
  if ! grep -qx held "$held"; then
    fail "$tag $name" "the probe's window did not keep the foreground: $(tr '\n' ' ' <"$held")"
  elif [ -n "$option" ] && [ $((after - before)) -ge $moves ]; then
    pass "$tag $name, each of $moves motions is recorded ($((after - before)) records)"
  elif [ -z "$option" ] && [ "$after" = "$before" ]; then
    pass "$tag $name, nothing is recorded"
  else
    fail "$tag $name" "$((after - before)) records for $moves motions"
  fi
  check_exit "$name"
  if [ -n "$option" ]; then check_log "$rundir/memo-final.txt" "$rundir/log.txt"
  elif [ -f "$rundir/log.txt" ] && ! grep -q 'Mouse: ' "$rundir/log.txt"; then pass "$tag $name: log.txt holds no record"
  else fail "$tag $name: log.txt holds no record" "$(grep -c 'Mouse: ' "$rundir/log.txt" 2>&1) records"; fi
}

# A folder even root cannot write to (immutable, where the file system can make
# it so): the title says that this copy keeps no log.
read_only_run() {
  local dir
  dir=$(mktemp -d "$work/read-only.XXXXXX")
  if ! chattr +i "$dir" 2>/dev/null; then
    skip "$tag read-only folder" "this runner is root, for whom Wine writes in any folder, and chattr +i fails here"
    return
  fi
  immutable=$dir
  xdotool mousemove "$park_x" "$park_y"
  (cd "$dir" && exec wine "$exe" >"$work/ro-stdout.txt" 2>"$work/ro-stderr.txt") &
  app_pid=$!
  if probe wait 30000 >/dev/null; then
    check_title "$tag read-only folder" "Velmora (not logging: this folder is read-only)"
  else
    fail "$tag read-only folder: the window appears" "no window within 30 s"
  fi
  close_app || fail "$tag read-only folder: the program ends" "still running 15 s after WM_CLOSE"
  chattr -i "$dir"
  immutable=
}

# ---- one log per folder across kinds of copies -------------------------------------------

# A Linux copy, a Windows copy under Wine, and a Windows copy under another Wine
# prefix all see one another's lock. Copy A starts; the check then fills log.txt
# with 64 KiB of its own (more than A writes without input), so that a copy B that
# truncated the file would leave it shorter. B must leave it alone and say why.
linux_exe=$root/build/linux/velmora
second_prefix=
second_prefix_dir=

# Makes a second Wine prefix beside the run's own, which stays the current one.
make_second_prefix() {
  local prefix=$WINEPREFIX dir=$VELMORA_WINE_DIR
  start_wine || { WINEPREFIX=$prefix; VELMORA_WINE_DIR=$dir; return 1; }
  second_prefix=$WINEPREFIX
  second_prefix_dir=$VELMORA_WINE_DIR
  export WINEPREFIX=$prefix
  VELMORA_WINE_DIR=$dir
}

drop_second_prefix() {
  [ -n "$second_prefix" ] || return 0
  WINEPREFIX=$second_prefix wineserver -k >/dev/null 2>&1
  WINEPREFIX=$second_prefix wineserver -w >/dev/null 2>&1
  rm -rf "$second_prefix_dir"
  second_prefix=
}

# start_copy <kind> <dir> <name>: kind is linux, wine or wine2 (the second prefix);
# sets copy_pid.
start_copy() {
  case $1 in
    linux) (cd "$2" && exec "$linux_exe" >"$3.stdout" 2>"$3.stderr") & ;;
    wine) (cd "$2" && exec wine "$exe" >"$3.stdout" 2>"$3.stderr") & ;;
    wine2) (cd "$2" && WINEPREFIX=$second_prefix exec wine "$exe" >"$3.stdout" 2>"$3.stderr") & ;;
  esac
  copy_pid=$!
}

mixed_copies_run() {  # mixed_copies_run <kind A> <kind B>
  local name="copies of two kinds, $1 then $2:" dir a_pid b_pid size
  dir=$(mktemp -d "$work/mixed.XXXXXX")
  xdotool mousemove "$park_x" "$park_y"
  start_copy "$1" "$dir" "$dir/a"; a_pid=$copy_pid
  if ! wait_velmora_window 1; then
    fail "$name copy A starts" "no window within 30 s"
  else
    head -c 65536 /dev/zero | tr '\000' x >>"$dir/log.txt"
    start_copy "$2" "$dir" "$dir/b"; b_pid=$copy_pid
    if ! wait_velmora_window 2; then
      fail "$name copy B starts" "no second window within 30 s"
    else
      sleep 1
      size=$(wc -c <"$dir/log.txt")
      if [ "$size" -ge 65536 ]; then pass "$name copy B leaves A's log.txt alone"
      else fail "$name copy B leaves A's log.txt alone" "log.txt is $size bytes"; fi
      check_told_held "$name copy B" "$dir/b.stderr"
    fi
    kill -9 "$b_pid" 2>/dev/null; wait "$b_pid" 2>/dev/null
  fi
  kill -9 "$a_pid" 2>/dev/null; wait "$a_pid" 2>/dev/null
  # Wine's own processes of a killed program go with the next program's start.
  sleep 1
}


# ---- main ---------------------------------------------------------------------------

if ! start_xvfb; then fail "setup" "Xvfb did not start"; summary; exit 1; fi
if ! start_wine; then fail "setup" "the Wine prefix could not be made"; summary; exit 1; fi

version=$(sed -nE 's/^project\(velmora VERSION ([0-9.]+) .*/\1/p' "$root/CMakeLists.txt")

for dir in "${builds[@]}"; do
  tag=$(basename "$dir")
  tag=${tag#windows-}
  if [ ! -f "$dir/velmora.exe" ] || [ ! -f "$dir/velmora_probe.exe" ]; then
    fail "$tag build" "velmora.exe or velmora_probe.exe missing in $dir"
    continue
  fi
  if [ "$tag" = x86 ] && ! wine32_runs; then
    skip "$tag build's Wine checks" "$VELMORA_WINE32_WHY"
    continue
  fi
  # The program runs from its own working directory.
  dir=$(cd "$dir" && pwd)
  exe=$dir/velmora.exe
  probe_exe=$dir/velmora_probe.exe
  command_line_run
  quiet_run
  background_run --background
  background_run ""
  read_only_run
  # The 64-bit build's packet run streams to oscdump, and must record as without it.
  if [ "$tag" = x64 ] && command -v oscdump >/dev/null; then streamed packet_run; else packet_run; fi
  burst_run
  two_copies_run
  abrupt_end_run
  session_end_run
done

# The kinds of copies, with the first build that ran (its session has ended).
exe=$(cd "${builds[0]}" 2>/dev/null && pwd)/velmora.exe
tag=$(basename "${builds[0]}"); tag=${tag#windows-}
if [ ! -x "$linux_exe" ]; then
  skip "copies of two kinds" "the Linux build ($linux_exe) is missing"
elif [ ! -f "$exe" ]; then
  skip "copies of two kinds" "$exe is missing"
else
  mixed_copies_run linux wine
  mixed_copies_run wine linux
  if make_second_prefix; then
    mixed_copies_run wine wine2
    drop_second_prefix
  else
    fail "copies of two kinds: a second Wine prefix" "could not be made"
  fi
fi

summary
