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

if [ $# -gt 0 ]; then
  builds=("$@")
else
  builds=("$root/build/windows-x64" "$root/build/windows-x86")
fi

passed=0
failed=0
skipped=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }
skip() { echo "SKIP $1: $2"; skipped=$((skipped + 1)); }
summary() {
  if [ "$skipped" -gt 0 ]; then echo "$passed passed, $failed failed, $skipped skipped"
  else echo "$passed passed, $failed failed"; fi
}

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-e2e.XXXXXX")
app_pid=
cleanup() {
  if [ -n "$app_pid" ]; then kill -9 "$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null; fi
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
  (cd "$rundir" && exec wine "$exe" >stdout.txt 2>stderr.txt) &
  app_pid=$!
  if ! probe wait 30000; then
    fail "$tag window appears" "no visible window titled Velmora within 30 s"
    kill -9 "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
    app_pid=
    return 1
  fi
}

# Closes the window through the probe and waits for the program; sets app_rc.
close_app() {
  app_rc=
  probe close
  local i
  for i in $(seq 1 150); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$app_pid" 2>/dev/null; then
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
  "Memo1 Edit 8 8 377 105 0 "
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

# ---- main ---------------------------------------------------------------------------

if ! start_xvfb; then fail "setup" "Xvfb did not start"; summary; exit 1; fi
if ! start_wine; then fail "setup" "the Wine prefix could not be made"; summary; exit 1; fi

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
  quiet_run
  packet_run
done

summary
[ "$failed" -eq 0 ]
