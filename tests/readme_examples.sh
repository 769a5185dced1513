#!/usr/bin/env bash
# Runs the README's examples as a user would type them, so that none of them can rot.
#
# An example is a ```sh block right after a line "<!-- example -->", or
# "<!-- example: seconds N -->" to run it shorter: every --seconds value above N then becomes
# N, except on lines that start a program in the background (ending in "&"), which have to
# outlive the commands after them. Each block runs in bash, from a scratch folder that
# holds the checkout's bin/, scripts/ and build/, so what the examples write stays there.
# A block fails when a command in it exits non-zero, or prints an error: a line that
# starts with one of our tools' names and a colon, or the shell's "command not found".
#   tests/readme_examples.sh [README]
set -uo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
readme="${1:-$ROOT/README.md}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
for folder in bin scripts build; do
  ln -s "$ROOT/$folder" "$scratch/$folder"
done

# Blocks to files: example-1.sh, example-2.sh, ... with the line each starts at.
awk -v out="$scratch" '
  /^<!-- example(: seconds [0-9.]+)? -->$/ { marked = 1; seconds = ""; if (match ($0, /seconds [0-9.]+/)) seconds = substr ($0, RSTART + 8, RLENGTH - 8); next }
  marked && /^```sh$/ { n++; file = out "/example-" n ".sh"; print "# README line " NR + 1 > file; inside = 1; marked = 0; next }
  inside && /^```$/ { inside = 0; close (file); next }
  inside {
    line = $0
    if (seconds != "" && line !~ /&[[:space:]]*$/)
      while (match (line, /--seconds [0-9.]+/) && substr (line, RSTART + 10, RLENGTH - 10) + 0 > seconds + 0)
        line = substr (line, 1, RSTART - 1) "--seconds " seconds substr (line, RSTART + RLENGTH)
    print line > file
    next
  }
  { marked = 0 }
' "$readme"

count=$(find "$scratch" -maxdepth 1 -name 'example-*.sh' | wc -l)
if [ "$count" -eq 0 ]; then
  echo "readme examples: no marked example in $readme" >&2
  exit 1
fi
failed=0
for n in $(seq "$count"); do
  script="$scratch/example-$n.sh"
  where="$(head -n 1 "$script" | sed 's/^# //')"
  echo "== example $n ($where)"
  sed '1d; s/^/   $ /' "$script"
  log="$scratch/example-$n.log"
  (cd "$scratch" && timeout 300 bash -e -o pipefail "$script") >"$log" 2>&1
  status=$?
  errors="$(grep -E '^(tarvo-host|tarvo-probe): |command not found' "$log")"
  if [ "$status" -ne 0 ] || [ -n "$errors" ]; then
    echo "   FAILED (exit status $status):"
    [ -n "$errors" ] && printf '%s\n' "$errors" | sed 's/^/   ! /'
    tail -n 12 "$log" | sed 's/^/   | /'
    failed=1
  else
    echo "   ok ($(wc -l <"$log") lines of output)"
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "readme examples: FAILED" >&2
  exit 1
fi
echo "readme examples: all $count ran as written"
