#!/usr/bin/env bash
# expect-failure.sh [--status N] [--match REGEX]... [--no-match REGEX]... -- <command> [arg...]
#
# Passes only if <command> fails (with status N if given), its combined
# output matches every --match and no --no-match extended regex.  A command
# that succeeds fails the test, whatever it printed.
set -uo pipefail

status=""
matches=()
rejects=()
while (($#)); do
  case $1 in
    --status) status=$2; shift 2 ;;
    --match) matches+=("$2"); shift 2 ;;
    --no-match) rejects+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "expect-failure: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
(($#)) || { echo "expect-failure: no command given" >&2; exit 2; }

output=$("$@" 2>&1)
rc=$?
printf '%s\n' "$output"
echo "-- exit status $rc"

ok=1
if ((rc == 0)); then
  echo "expect-failure: the command succeeded; it must fail"
  ok=0
elif [[ -n $status && $rc != "$status" ]]; then
  echo "expect-failure: exit status $rc, expected $status"
  ok=0
fi
for re in "${matches[@]}"; do
  if ! grep -Eq -- "$re" <<<"$output"; then
    echo "expect-failure: output does not match /$re/"
    ok=0
  fi
done
for re in "${rejects[@]}"; do
  if grep -Eq -- "$re" <<<"$output"; then
    echo "expect-failure: output matches /$re/, which it must not"
    ok=0
  fi
done
((ok)) && echo "expect-failure: failed as expected"
((ok))
