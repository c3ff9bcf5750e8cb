#!/usr/bin/env bash
# The Debian package that scripts/package made: its contents, with no install and
# no root (lintian, the AppStream metadata, the man pages, the udev rule, the
# maintainer scripts), then, as root where no velmora package is installed:
# install, run, remove.
# Usage: tests/e2e/package/deb.sh DEB VERSION   (closes with "N passed, M failed")
set -u
package_checks_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$package_checks_dir/../../.." && pwd)
# shellcheck source=../../../scripts/lib/checks.sh
source "$root/scripts/lib/checks.sh"
# shellcheck source=../../../scripts/lib/xvfb.sh
source "$root/scripts/lib/xvfb.sh"
trap stop_xvfb EXIT
deb=$1 version=$2

# What the package's udev rule must give each kind of event node: only a mouse's
# node that is no keyboard as well gets uaccess.
#   tags wanted | the device's properties
udev_cases=(
  "uaccess|SUBSYSTEM=input KERNEL=event3 ID_INPUT=1 ID_INPUT_MOUSE=1"
  "|SUBSYSTEM=input KERNEL=event5 ID_INPUT=1 ID_INPUT_MOUSE=1 ID_INPUT_KEYBOARD=1 ID_INPUT_KEY=1"
  "|SUBSYSTEM=input KERNEL=event6 ID_INPUT=1 ID_INPUT_KEYBOARD=1 ID_INPUT_KEY=1"
  "|SUBSYSTEM=input KERNEL=event7 ID_INPUT=1 ID_INPUT_TOUCHPAD=1"
  "|SUBSYSTEM=input KERNEL=mouse0 ID_INPUT=1 ID_INPUT_MOUSE=1"
)

udev_rule_gives() {  # udev_rule_gives <rules file>: every case of udev_cases holds
  local rules=$1 case want got ok=0
  for case in "${udev_cases[@]}"; do
    want=${case%%|*}
    # shellcheck disable=SC2086  # the properties are words
    got=$(python3 "$package_checks_dir/udev_rule.py" "$rules" ${case#*|} | tr '\n' ' ' | sed 's/ $//') || return 1
    [ "$got" = "$want" ] || { echo "  $case: tags '$got'"; ok=1; }
  done
  return "$ok"
}

lintian_says_nothing() {
  local said
  said=$(lintian --fail-on error,warning "$1" 2>/dev/null) || { echo "$said"; return 1; }
  [ -z "$said" ] || { echo "$said"; return 1; }
}

# man_pages_render <tree>: each page renders without a groff warning, with its
# NAME section; velmora-report's page is there exactly when its program is.
man_pages_render() {
  local tree=$1 page out
  [ -f "$tree/usr/share/man/man1/velmora.1.gz" ] || return 1
  [ -f "$tree/usr/bin/velmora-report" ] && { [ -f "$tree/usr/share/man/man1/velmora-report.1.gz" ] || return 1; }
  for page in "$tree"/usr/share/man/man1/*.1.gz; do
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$out" ] || { echo "  $page: $out"; return 1; }
    LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^NAME' || return 1
  done
}

# Where udev does not run (here), the maintainer scripts do nothing and say nothing.
maintainer_scripts_quiet() {
  local control=$1 script said
  for script in "postinst configure" "postrm remove"; do
    # shellcheck disable=SC2086
    said=$(sh "$control/${script%% *}" ${script#* } 2>&1) || return 1
    [ -z "$said" ] || { echo "  $script: $said"; return 1; }
  done
}

installed_velmora_runs() {
  local dir pid rc i
  dir=$(mktemp -d)
  (cd "$dir" && exec /usr/bin/velmora >/dev/null 2>&1) &
  pid=$!
  wait_velmora_window || { kill -9 "$pid"; wait "$pid"; rm -rf "$dir"; return 1; }
  kill -TERM "$pid"
  for i in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null
  wait "$pid"; rc=$?
  [ "$rc" = 0 ] && [ -f "$dir/log.txt" ]; rc=$?
  rm -rf "$dir"
  return "$rc"
}

desktop_icon_installed() {
  local icon
  icon=$(sed -n 's/^Icon=//p' /usr/share/applications/velmora.desktop)
  compgen -G "/usr/share/icons/hicolor/*/apps/$icon.*" >/dev/null
}

tree=$(mktemp -d)
dpkg-deb -x "$deb" "$tree/files" && dpkg-deb -e "$deb" "$tree/control"
check "deb: lintian prints nothing" lintian_says_nothing "$deb"
check "deb: AppStream metadata and desktop entry validate" \
  eval 'appstreamcli validate-tree --no-net "$tree/files" >/dev/null && compgen -G "$tree/files/usr/share/metainfo/*.metainfo.xml" >/dev/null'
check "deb: man pages render" man_pages_render "$tree/files"
check "deb: copyright is the MIT licence" \
  eval 'grep -qx "License: Expat" "$tree/files/usr/share/doc/velmora/copyright" && grep -q "Copyright: 2026 the Velmora developers" "$tree/files/usr/share/doc/velmora/copyright"'
rules=$tree/files/usr/lib/udev/rules.d/70-velmora.rules
check "deb: udev rule gives mice uaccess and leaves keyboards out" \
  eval 'grep -q "ENV{ID_INPUT_KEYBOARD}!=\"1\"" "$rules" && udev_rule_gives "$rules"'
if [ -S /run/udev/control ]; then
  skip "deb: maintainer scripts where udev does not run" "udev runs here"
else
  check "deb: maintainer scripts skip udev quietly where it does not run" maintainer_scripts_quiet "$tree/control"
fi
rm -rf "$tree"
check "deb: dependencies from dpkg-shlibdeps" eval '[[ $(dpkg-deb -f "$deb" Depends) == *libx11-6* ]]'
if [ "$(id -u)" != 0 ]; then
  skip "deb: install, run, remove" "dpkg -i needs root"
elif dpkg-query -W -f='${Status}' velmora 2>/dev/null | grep -q 'install ok installed'; then
  skip "deb: install, run, remove" "a velmora package is installed here already"
elif check "deb: dpkg -i" dpkg -i "$deb"; then
  check "deb: /usr/bin/velmora installed" test -x /usr/bin/velmora
  check "deb: /usr/bin/velmora-report installed and runs" eval \
    '[ "$(/usr/bin/velmora-report --version)" = "velmora-report $version" ]'
  check "deb: desktop entry validates" desktop-file-validate /usr/share/applications/velmora.desktop
  check "deb: desktop entry's icon installed" desktop_icon_installed
  if start_xvfb; then
    check "deb: velmora opens its window, closes on SIGTERM, log.txt where started" installed_velmora_runs
    stop_xvfb
  else
    check "deb: Xvfb starts" false
  fi
  check "deb: dpkg -r" eval 'dpkg -r velmora >/dev/null && [ ! -e /usr/bin/velmora ]'
else
  dpkg -r velmora >/dev/null 2>&1
fi
summary
