#!/usr/bin/env bash
# Tab completion offers the tool's commands, each command's options, the
# setting names (only the writable ones for set), the colour names of an
# option that lists them, files where a file is wanted, and the wrapper's
# options - all read from the programs as they are built.
#   completion_test.sh TOOL VCAM COMPLETION_DIR
set -uo pipefail
tool=$1 vcam=$2 dir=$3
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch XDG_STATE_HOME=$scratch/state
cd "$scratch"

source "$dir/vivazuzoz" || { echo "FAIL: $dir/vivazuzoz does not load" >&2; exit 1; }
source "$dir/vivazuzoz-vcam" || { echo "FAIL: $dir/vivazuzoz-vcam does not load" >&2; exit 1; }
[ "$(complete -p vivazuzoz)" = "complete -F _vivazuzoz vivazuzoz" ] || fail "vivazuzoz has no completion"
[ "$(complete -p vivazuzoz-vcam)" = "complete -F _vivazuzoz_vcam vivazuzoz-vcam" ] || fail "vivazuzoz-vcam has no completion"

# complete FUNCTION WORDS...: the sorted candidates for the last word.
complete_words() {
  local function=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  "$function"
  printf '%s\n' "${COMPREPLY[@]}" | sort
}
# expect WHAT EXPECTED ACTUAL (both newline-separated, compared as sets)
expect() {
  local a b
  a=$(sort -u <<< "$2") b=$(sort -u <<< "$3")
  [ "$a" = "$b" ] || fail "$1: expected [$(echo $a)], got [$(echo $b)]"
}

help=$("$tool" --help)
commands=$(sed -n '/^Commands:/,/^$/{s/^  \([a-z][a-z0-9-]*\) .*/\1/p}' <<< "$help")
for known in list info snapshot stream get set shutter; do
  grep -qx "$known" <<< "$commands" || fail "the test reads no command '$known' from the tool's help"
done
expect "commands" "$commands"$'\nhelp' "$(complete_words _vivazuzoz "$tool" "")"
expect "commands starting with s" "$(grep '^s' <<< "$commands")" "$(complete_words _vivazuzoz "$tool" s)"
expect "help COMMAND" "$commands" "$(complete_words _vivazuzoz "$tool" help "")"
expect "top-level options" $'--help\n--version' "$(complete_words _vivazuzoz "$tool" --)"

# Every command's long options, as its help lists them.
for name in $commands; do
  options=$("$tool" "$name" --help | sed -n '/^Options:/,/^$/{s/^ *\(-[A-Za-z0-9], \)\{0,1\}\(--[a-z0-9-]*\).*/\2/p}')
  grep -qx -- --help <<< "$options" || fail "the test reads no --help option of $name"
  got=$(complete_words _vivazuzoz "$tool" "$name" --)
  expect "$name options" "$options" "$got"
  if [ "$(sort -u <<< "$options")" != "$(sort -u <<< "$got")" ]; then
    # What the tool printed this time, to tell a parsing fault from a tool that failed.
    help_again=$("$tool" "$name" --help 2>&1)
    echo "  '$name --help' now exits with $? and prints ${#help_again} bytes:" >&2
    echo "$help_again" | sed 's/^/    /' >&2
  fi
done

# Settings: get offers all of them, set only the writable ones.
get_settings=$(complete_words _vivazuzoz "$tool" get "")
set_settings=$(complete_words _vivazuzoz "$tool" set "")
grep -qx emissivity <<< "$get_settings" || fail "get does not offer emissivity: $get_settings"
grep -qx fpa-temp <<< "$get_settings" || fail "get does not offer the read-only fpa-temp"
grep -qx emissivity <<< "$set_settings" || fail "set does not offer emissivity: $set_settings"
grep -qx fpa-temp <<< "$set_settings" && fail "set offers the read-only fpa-temp"
expect "set after -d 0" "$(grep '^e' <<< "$set_settings")" "$(complete_words _vivazuzoz "$tool" set -d 0 e)"

# Option values: files for FILE options, the listed colour names; no files
# where no file is wanted.
touch thermal-a.png thermal-b.csv
expect "set NAME VALUE: neither settings nor files" "" "$(complete_words _vivazuzoz "$tool" set palette "")"
expect "shutter takes no arguments" "" "$(complete_words _vivazuzoz "$tool" shutter "")"
expect "snapshot -o FILE" "thermal-a.png" "$(complete_words _vivazuzoz "$tool" snapshot -o thermal-a)"
colours=$(complete_words _vivazuzoz "$tool" snapshot --colormap "")
for colour in iron white-hot black-hot rainbow; do
  grep -qx "$colour" <<< "$colours" || fail "snapshot --colormap does not offer $colour: $colours"
done
expect "an unknown command" "" "$(complete_words _vivazuzoz "$tool" no-such-command "")"

# The wrapper: its options, its fault names, and a command after "--".
vcam_options=$("$vcam" --help | sed -n '/^Options:/,/^$/{s/^  \(-[a-z], \)\{0,1\}\(--[a-z0-9-]*\).*/\2/p}')
grep -qx -- --cameras <<< "$vcam_options" || fail "the test reads no --cameras option of the wrapper"
expect "wrapper options" "$vcam_options"$'\n--' "$(complete_words _vivazuzoz_vcam "$vcam" -)"
expect "wrapper faults" $'none\nsilence\ndelay\nwrong-echo\nwrong-status\nno-ack\nsplit\ngarbage\nlate\ncr' \
  "$(complete_words _vivazuzoz_vcam "$vcam" --port-fault "")"
# Option values, from the wrapper's help: the sizes, the modes, on and off,
# recordings for --replay, any file for --state, and nothing for a number.
expect "wrapper sizes" $'256x192\n384x288\n640x512\n1280x1024' "$(complete_words _vivazuzoz_vcam "$vcam" --size "")"
expect "wrapper sizes from 6" "640x512" "$(complete_words _vivazuzoz_vcam "$vcam" --cameras 2 --size 6)"
expect "wrapper modes" $'image\ntemp' "$(complete_words _vivazuzoz_vcam "$vcam" --mode "")"
expect "wrapper hot object" $'on\noff' "$(complete_words _vivazuzoz_vcam "$vcam" --hot-object "")"
mkdir recordings
touch run.tiff lapse.tiff cam.json
expect "wrapper --replay" $'run.tiff\nlapse.tiff\nrecordings' "$(complete_words _vivazuzoz_vcam "$vcam" --replay "")"
expect "wrapper --replay r" $'run.tiff\nrecordings' "$(complete_words _vivazuzoz_vcam "$vcam" --replay r)"
expect "wrapper --state" "cam.json" "$(complete_words _vivazuzoz_vcam "$vcam" --state ca)"
expect "wrapper --cameras N" "" "$(complete_words _vivazuzoz_vcam "$vcam" --cameras "")"
expect "wrapper option after a flag" "$vcam_options"$'\n--' "$(complete_words _vivazuzoz_vcam "$vcam" --loop "")"
PATH="$(dirname "$tool"):$PATH"
grep -qx vivazuzoz <<< "$(complete_words _vivazuzoz_vcam "$vcam" --cameras 2 -- vivazuz)" ||
  fail "the wrapper does not complete the command to run"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "completion: $(wc -w <<< "$commands") commands, their options and settings"
