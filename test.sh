#!/usr/bin/env bash
# ./test.sh [preset...]
#
# Configures, builds and tests each named CMake preset in turn (all of
# default, asan, tsan and i386 when none is named), stopping at the first
# failure.  Build trees go to build/<preset>.  Needs no root.
# CTEST_ARGS adds arguments to every ctest run, e.g.
#   CTEST_ARGS='-R kernel' ./test.sh asan
set -euo pipefail

all_presets=(default asan tsan i386)

usage() {
  echo "usage: $0 [preset...]   presets: ${all_presets[*]}"
}

cd "$(dirname "${BASH_SOURCE[0]}")"

presets=()
for arg in "$@"; do
  case $arg in
    -h | --help) usage; exit 0 ;;
    default | asan | tsan | i386) presets+=("$arg") ;;
    *) echo "test.sh: unknown preset '$arg'" >&2; usage >&2; exit 2 ;;
  esac
done
((${#presets[@]})) || presets=("${all_presets[@]}")

ctest_args=()
read -r -a ctest_args <<<"${CTEST_ARGS:-}"

log_dir=build/logs
mkdir -p "$log_dir"

summary=()
total_passed=0
total_failed=0

print_summary() {
  echo
  echo "==== test.sh summary"
  local line
  for line in "${summary[@]}"; do
    echo "$line"
  done
  echo "total: $total_passed passed, $total_failed failed"
}

fail() { # <preset> <step> <seconds>
  summary+=("$1: FAILED at $2 after $3 s")
  echo
  echo "test.sh: the $1 build FAILED at $2"
  print_summary
  exit 1
}

for preset in "${presets[@]}"; do
  echo
  echo "==== $preset: configure"
  start=$SECONDS
  cmake --preset "$preset" || fail "$preset" configure $((SECONDS - start))

  echo "==== $preset: build"
  cmake --build --preset "$preset" || fail "$preset" build $((SECONDS - start))
  built=$((SECONDS - start))

  echo "==== $preset: test"
  log=$log_dir/ctest-$preset.log
  set +e
  ctest --preset "$preset" "${ctest_args[@]}" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  set -e

  # "100% tests passed, 0 tests failed out of 12"
  counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log" | tail -n 1)
  failed=0
  ran=0
  if [[ -n $counts ]]; then
    read -r failed ran <<<"$counts"
  fi
  total_passed=$((total_passed + ran - failed))
  total_failed=$((total_failed + failed))
  tested=$((SECONDS - start - built))

  if ((status != 0)); then
    fail "$preset" "test ($failed of $ran failed)" $((SECONDS - start))
  fi
  summary+=("$preset: ok, $ran tests passed (configure+build ${built} s, test ${tested} s)")
done

print_summary
