#!/bin/sh
# Writes a program's manual page from its --help text with help2man, so the
# page says what the program says. With --commands, each command listed under
# "Commands:" in the help gets its own --help text in a COMMANDS section.
#   generate-man-page.sh [--commands] PROGRAM VERSION SUMMARY INCLUDE OUTPUT.1.gz
set -eu
commands=no
if [ "$1" = --commands ]; then
  commands=yes
  shift
fi
program=$1 version=$2 summary=$3 include=$4 output=$5

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The help texts need no camera; keep anything the program writes out of the
# build tree.
export HOME="$scratch" XDG_STATE_HOME="$scratch/state"

# roff: backslashes and minus signs as themselves, no control lines.
escape() {
  sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
}

cp "$include" "$scratch/include.h2m"
if [ $commands = yes ]; then
  names=$("$program" --help | sed -n '/^Commands:/,/^$/{s/^  \([a-z][a-z0-9-]*\) .*/\1/p}')
  if [ -z "$names" ]; then
    echo "generate-man-page.sh: $program --help lists no commands" >&2
    exit 1
  fi
  {
    printf '[COMMANDS]\n'
    printf 'Each command also prints its own help: \\fB%s \\fICOMMAND\\fB \\-\\-help\\fR.\n' "$(basename "$program")"
    for name in $names; do
      printf '.SS "%s"\n.nf\n' "$name"
      "$program" "$name" --help | escape
      printf '.fi\n'
    done
  } >> "$scratch/include.h2m"
fi

help2man --no-info --version-string="$version" --name="$summary" --include="$scratch/include.h2m" \
  --output="$scratch/page.1" "$program"
# Examples are one command a line: keep them so.
awk '/^\.SH / { if (ex) print ".fi"; ex = ($0 == ".SH EXAMPLES"); print; if (ex) print ".nf"; next }
     ex && /^\.(IP|PP)$/ { next }
     { print }
     END { if (ex) print ".fi" }' "$scratch/page.1" > "$scratch/page.fixed.1"
gzip -9n -c "$scratch/page.fixed.1" > "$output.tmp"
mv "$output.tmp" "$output"
