# shellcheck shell=bash
# Sourced by scripts/test: checks of the .deb's contents that need no install
# (and no root): lintian, the AppStream metadata, the man pages, the udev rule and
# the maintainer scripts. Uses the check and skip of scripts/lib/checks.sh.
package_checks_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

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

deb_content_checks() {
  local deb=$1 tree
  tree=$(mktemp -d)
  dpkg-deb -x "$deb" "$tree/files" && dpkg-deb -e "$deb" "$tree/control"
  check "deb: lintian prints nothing" lintian_says_nothing "$deb"
  check "deb: AppStream metadata and desktop entry validate" \
    eval 'appstreamcli validate-tree --no-net "$tree/files" >/dev/null && compgen -G "$tree/files/usr/share/metainfo/*.metainfo.xml" >/dev/null'
  check "deb: man pages render" man_pages_render "$tree/files"
  check "deb: copyright is the MIT licence" \
    eval 'grep -qx "License: Expat" "$tree/files/usr/share/doc/velmora/copyright" && grep -q "Copyright: 2026 the Velmora developers" "$tree/files/usr/share/doc/velmora/copyright"'
  local rules=$tree/files/usr/lib/udev/rules.d/70-velmora.rules
  check "deb: udev rule gives mice uaccess and leaves keyboards out" \
    eval 'grep -q "ENV{ID_INPUT_KEYBOARD}!=\"1\"" "$rules" && udev_rule_gives "$rules"'
  if [ -S /run/udev/control ]; then
    skip "deb: maintainer scripts where udev does not run" "udev runs here"
  else
    check "deb: maintainer scripts skip udev quietly where it does not run" maintainer_scripts_quiet "$tree/control"
  fi
  rm -rf "$tree"
}
