#!/usr/bin/env bash
# The manual pages say what the programs' --help says: every line of the
# tool's help and of each command's help, and every option of the virtual
# camera's wrapper, appear in the rendered pages.
#   man_pages_test.sh TOOL VCAM MAN_DIR
set -euo pipefail
tool=$1 vcam=$2 man_dir=$3
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch XDG_STATE_HOME=$scratch/state

render() {
  MANWIDTH=400 LC_ALL=C man --local-file "$1" 2>/dev/null | col -bx | sed 's/^ *//; s/  */ /g'
}
normalise() { sed 's/^ *//; s/  */ /g; /^$/d'; }

tool_page=$(render "$man_dir/vivazuzoz.1.gz")
vcam_page=$(render "$man_dir/vivazuzoz-vcam.1.gz")
[ -n "$tool_page" ] || fail "vivazuzoz.1.gz does not render"
[ -n "$vcam_page" ] || fail "vivazuzoz-vcam.1.gz does not render"

# A line of help is found as a whole line of the page.
expect_lines() {
  local page=$1 what=$2 line
  while IFS= read -r line; do
    grep -qxF -- "$line" <<< "$page" || fail "$what: the manual page lacks the line '$line'"
  done
}

commands=$("$tool" --help | sed -n '/^Commands:/,/^$/{s/^  \([a-z][a-z0-9-]*\) .*/\1/p}')
[ "$(wc -l <<< "$commands")" -ge 7 ] || fail "the tool's help lists too few commands: $commands"
for name in $commands; do
  grep -qx "$name" <<< "$tool_page" || fail "no section for the command $name"
  "$tool" "$name" --help | normalise | expect_lines "$tool_page" "vivazuzoz $name --help"
done
grep -q "^vivazuzoz - find, capture from and configure USB thermal cameras" <<< "$tool_page" ||
  fail "the tool's page has no NAME line"
grep -qx "DEVICE ACCESS" <<< "$tool_page" || fail "the tool's page does not say how to get device access"
grep -qF 'usermod -aG video,dialout' <<< "$tool_page" || fail "the tool's page does not name the groups"
grep -qF "vivazuzoz $("$tool" --version | sed 's/^vivazuzoz //')" <<< "$tool_page" ||
  fail "the tool's page does not carry the tool's version"

# Every option of the wrapper, and every example, as the wrapper prints them.
options=$("$vcam" --help | sed -n '/^Options:/,/^$/{s/^  \(-[a-z], \)\{0,1\}\(--[a-z0-9-]*\).*/\2/p}')
[ "$(wc -l <<< "$options")" -ge 10 ] || fail "the wrapper's help lists too few options: $options"
for option in $options; do
  grep -qE -- "(^|, )$option( |$)" <<< "$vcam_page" || fail "vivazuzoz-vcam(1) lacks the option $option"
done
"$vcam" --help | sed -n '/^Examples:/,/^$/p' | sed 1d | normalise | expect_lines "$vcam_page" "vivazuzoz-vcam examples"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures; the manual pages are built by man/generate-man-page.sh" >&2
  exit 1
fi
echo "manual pages: $(wc -w <<< "$commands") commands and $(wc -w <<< "$options") wrapper options found"
