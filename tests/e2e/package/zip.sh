#!/usr/bin/env bash
# The Windows zip that scripts/package made: its files, the .exe resources, and
# under Wine the program's window and velmora-report reading a recording.
# Usage: tests/e2e/package/zip.sh ZIP VERSION   (closes with "N passed, M failed")
set -u
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
cd "$root" || exit 1
. scripts/lib/checks.sh
. scripts/lib/xvfb.sh
. scripts/lib/wine.sh
trap 'stop_wine; stop_xvfb' EXIT
zip=$1 version=$2

# exe_resources <exe> <version>: version resource (16) with name, version, the
# licence's copyright line and the zip's own file name, manifest (24) and icon
# group (14).
exe_resources() {
  local dump strs
  dump=$(x86_64-w64-mingw32-objdump -p "$1") || return 1
  strs=$(strings -el "$1")
  grep -q 'Entry: ID: 0x000010,' <<<"$dump" && grep -q 'Entry: ID: 0x000018,' <<<"$dump" &&
    grep -q 'Entry: ID: 0x00000e,' <<<"$dump" &&
    [ "$(grep -A1 -x ProductName <<<"$strs" | tail -n 1)" = Velmora ] &&
    [ "$(grep -A1 -x ProductVersion <<<"$strs" | tail -n 1)" = "$2" ] &&
    [ "$(grep -A1 -x OriginalFilename <<<"$strs" | tail -n 1)" = "$(basename "$1")" ] &&
    [ "$(grep -A1 -x LegalCopyright <<<"$strs" | tail -n 1)" = "$(grep -m1 '^Copyright ' LICENSE)" ]
}

wine_exe_runs() {
  local dir pid rc
  dir=$(mktemp -d)
  (cd "$dir" && exec wine "$1" >/dev/null 2>&1) &
  pid=$!
  wait_velmora_window && [ -f "$dir/log.txt" ]; rc=$?
  # Ends every process of the prefix, so the next exe's window is its own.
  wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
  wait "$pid" 2>/dev/null
  rm -rf "$dir"
  return "$rc"
}

# A one-mouse recording read by the Windows program: its JSON and its page, in
# a folder named in Cyrillic and Chinese (the command line is read as wide
# characters; Wine takes it from this locale).
wine_report_runs() {
  local dir folder='Проба 測試' rc
  dir=$(mktemp -d)
  mkdir "$dir/$folder"
  printf '%s\r\n1,0,Mouse,"Wine ""mouse"", virtual",,,1\r\n' "$(python3 tests/e2e/recording_format.py devices)" >"$dir/$folder/devices.csv"
  printf '%s\r\n' "$(python3 tests/e2e/recording_format.py log)" >"$dir/$folder/log.csv"
  printf '%s,1,0,0,0,0,0,0,1,1,0\r\n' $(seq 0 1000 11000) >>"$dir/$folder/log.csv"
  (cd "$dir" && LC_ALL=C.UTF-8 wine "$1" --json "$folder") 2>/dev/null | tr -d '\r' |
    grep -q '"packets": 12, .*"rate_hz": 1000, "poll_hz": 1000,' &&
    grep -q 'Wine &quot;mouse&quot;, virtual' "$dir/$folder/report.html" &&
    grep -q "Recording: .*$folder" "$dir/$folder/report.html"; rc=$?
  rm -rf "$dir"
  return "$rc"
}

# velmora-report --follow under Wine on a recording that a Linux writer makes
# under the folder's lock: the counts grow line by line, and the last line,
# once the writer lets the lock go, holds every row.
wine_follow_runs() {
  local dir rc writer=build/linux/bench/velmora_make_recording pid
  dir=$(mktemp -d)
  "$writer" --live "$dir" 1000 5 >/dev/null &
  pid=$!
  sleep 0.3
  timeout 30 wine "$1" --follow --json "$(winepath -w "$dir")" 2>/dev/null | tr -d '\r' >"$dir/follow.jsonl"
  wait "$pid"
  python3 - "$dir/follow.jsonl" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
counts = [l["devices"][0]["packets"] if l["devices"] else 0 for l in lines]
sys.exit(0 if len(counts) >= 3 and counts[0] < counts[-2] < counts[-1] == 5000 and lines[-1].get("final") else 1)
PY
  rc=$?
  rm -rf "$dir"
  return "$rc"
}

dir=$(mktemp -d)
check "zip: both builds of each program, a README for Windows users and the licence" eval \
  '[ "$(unzip -Z1 "$zip" | grep -v /\$ | LC_ALL=C sort | tr "\n" " ")" = "LICENSE.txt README.txt velmora-report-x64.exe velmora-report-x86.exe velmora-x64.exe velmora-x86.exe " ]'
unzip -q "$zip" -d "$dir"
check "zip: LICENSE.txt is LICENSE with CR LF lines" eval 'tr -d "\r" <"$dir/LICENSE.txt" | cmp -s - LICENSE'
for bits in x64 x86; do
  check "zip: velmora-$bits.exe has its version resource, manifest and icon" exe_resources "$dir/velmora-$bits.exe" "$version"
  check "zip: velmora-report-$bits.exe has its version resource, manifest and the same icon" exe_resources "$dir/velmora-report-$bits.exe" "$version"
done
if start_xvfb && start_wine; then
  check "zip: velmora-x64.exe opens its window under Wine, log.txt where started" wine_exe_runs "$dir/velmora-x64.exe"
  check "zip: velmora-report-x64.exe reads a recording under Wine, in a folder named \"Проба 測試\"" wine_report_runs "$dir/velmora-report-x64.exe"
  if [ -x build/linux/bench/velmora_make_recording ]; then
    check "zip: velmora-report-x64.exe --follow follows a recording as it is written, under Wine" \
      wine_follow_runs "$dir/velmora-report-x64.exe"
  else
    skip "zip: velmora-report-x64.exe --follow under Wine" "build/linux/bench/velmora_make_recording is not built"
  fi
  if wine32_runs; then
    check "zip: velmora-x86.exe opens its window under Wine, log.txt where started" wine_exe_runs "$dir/velmora-x86.exe"
  else
    skip "zip: velmora-x86.exe under Wine" "$VELMORA_WINE32_WHY"
  fi
else
  check "zip: Xvfb and Wine start" false
fi
stop_wine; stop_xvfb
rm -rf "$dir"
summary
