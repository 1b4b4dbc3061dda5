#!/usr/bin/env bash
# check-imports.sh <module.so> --images <image.so> [<image.so>...] [--sanitizer]
#
# Checks a driver module's link boundary, the way the platform's loader sees
# it: every symbol the module imports must be exported by one of the given
# platform images, every DT_NEEDED entry must be one of those images, and the
# module must export DriverEntry and nothing else.  One line per offence on
# stderr; exit status 1 if there is any, 2 on a usage or read error.
#
# --sanitizer also admits what an instrumented build needs from the sanitizer
# runtime: its symbols (__asan_*, __ubsan_*, __tsan_*, __sanitizer_*,
# __lsan_*) and the runtime library itself as DT_NEEDED.
#
# Uses NM and READELF from the environment (default nm, readelf).

set -euo pipefail

NM=${NM:-nm}
READELF=${READELF:-readelf}
ENTRY=DriverEntry

usage() {
  echo "usage: ${0##*/} <module.so> --images <image.so> [<image.so>...] [--sanitizer]" >&2
  exit 2
}

module=""
images=()
sanitizer=0
while (($#)); do
  case $1 in
    --images)
      shift
      while (($#)) && [[ $1 != --* ]]; do
        images+=("$1")
        shift
      done
      ;;
    --sanitizer) sanitizer=1; shift ;;
    -h | --help) usage ;;
    --*) echo "${0##*/}: unknown option '$1'" >&2; usage ;;
    *)
      [[ -z $module ]] || { echo "${0##*/}: more than one module given" >&2; usage; }
      module=$1
      shift
      ;;
  esac
done
[[ -n $module ]] || usage
((${#images[@]})) || { echo "${0##*/}: no --images given" >&2; usage; }
for f in "$module" "${images[@]}"; do
  [[ -f $f && -r $f ]] || { echo "${0##*/}: cannot read '$f'" >&2; exit 2; }
done

name=${module##*/}

# nm -D prints "<value> <type> <name>" for defined symbols and "<type> <name>"
# for undefined ones; versioned names carry "@VERSION" or "@@VERSION".
dynsyms() { # <file> <nm filter option>
  local out
  if ! out=$("$NM" -D "$2" "$1" 2>&1); then
    echo "${0##*/}: $NM -D $1 failed: $out" >&2
    exit 2
  fi
  # A file without dynamic symbols makes nm say so instead of listing nothing.
  grep -v -e ': no symbols$' <<<"$out" | awk 'NF >= 2 { print $(NF-1), $NF }' || true
}

dynamic_section() { # <file> <tag>: the bracketed values of that tag
  local out
  if ! out=$(LC_ALL=C "$READELF" -dW "$1" 2>&1); then
    echo "${0##*/}: $READELF -d $1 failed: $out" >&2
    exit 2
  fi
  sed -n "s/.*($2)[^[]*\[\(.*\)\]\$/\1/p" <<<"$out"
}

declare -A exported=() allowed_needed=()
image_names=()
for img in "${images[@]}"; do
  soname=$(dynamic_section "$img" SONAME)
  [[ -n $soname ]] || soname=${img##*/}
  allowed_needed[$soname]=1
  image_names+=("$soname")
  syms=$(dynsyms "$img" --defined-only)
  while read -r _type sym; do
    if [[ -n $sym ]]; then exported[${sym%%@*}]=1; fi
  done <<<"$syms"
done
allowed="allowed images: ${image_names[*]}"

is_runtime_symbol() {
  [[ $1 == __asan_* || $1 == __ubsan_* || $1 == __tsan_* ||
     $1 == __sanitizer_* || $1 == __lsan_* ]]
}
is_runtime_library() {
  [[ $1 =~ ^lib(asan|ubsan|tsan|lsan)\.so(\.[0-9]+)*$ ||
     $1 =~ ^libclang_rt\.(asan|ubsan_standalone|tsan)-[a-z0-9_]+\.so$ ]]
}

offences=0
offence() {
  echo "$name: $*" >&2
  offences=$((offences + 1))
}

imports=0
syms=$(dynsyms "$module" --undefined-only)
while read -r type sym; do
  [[ -n $sym ]] || continue
  base=${sym%%@*}
  imports=$((imports + 1))
  [[ -n ${exported[$base]+x} ]] && continue
  if [[ $type == [wv] ]]; then
    # Weak references the toolchain's own start files and runtime plant;
    # they resolve to nothing in a driver and are harmless.  A strong
    # reference to the same names is still an offence.
    case $base in
      __gmon_start__ | _ITM_registerTMCloneTable | _ITM_deregisterTMCloneTable | __cxa_finalize) continue ;;
    esac
  fi
  if ((sanitizer)) && is_runtime_symbol "$base"; then
    continue
  fi
  offence "imports '$sym', which none of the images exports ($allowed)"
done <<<"$syms"

needed_list=$(dynamic_section "$module" NEEDED)
while read -r needed; do
  [[ -n $needed ]] || continue
  [[ -n ${allowed_needed[$needed]+x} ]] && continue
  if ((sanitizer)) && is_runtime_library "$needed"; then
    continue
  fi
  offence "needs '$needed', which is not one of the images ($allowed)"
done <<<"$needed_list"

have_entry=0
syms=$(dynsyms "$module" --defined-only)
while read -r type sym; do
  [[ -n $sym ]] || continue
  if [[ ${sym%%@*} == "$ENTRY" && $type == T ]]; then
    have_entry=1
  else
    offence "exports '$sym' (type $type); a driver exports $ENTRY only"
  fi
done <<<"$syms"
((have_entry)) || offence "does not export $ENTRY as a function (is it declared with default visibility?)"

if ((offences)); then
  echo "$name: $offences offence(s) against the link boundary" >&2
  exit 1
fi
echo "$name: $imports import(s), all from ${image_names[*]}; exports $ENTRY"
