#!/usr/bin/env bash
# ./run.sh: sets the machine up (Debian packages, when missing and run as
# root), builds the default configuration and runs the main job.
#
# At this stage the main job enters the stand-in's own test driver in the
# stand-in kernel, sends it a request and unloads it, then loads both builds
# of the capture minidriver, which register with the stand-in stream class,
# and unloads them, with the verifier on throughout.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

missing=()
for tool in cmake ninja g++ nm readelf; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
[[ -d /usr/src/googletest ]] || missing+=(googletest)
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "run.sh: missing ${missing[*]}; run as root once (or: sudo .ci/install-packages)" >&2
    exit 1
  fi
  .ci/install-packages
fi

cmake --preset default >/dev/null
cmake --build --preset default
build/default/tools/simload --ioctl 0x222400 build/default/tests/drivers/norvane_test_good.so
for driver in norvane norvane_w2k; do
  echo
  build/default/tools/simload "build/default/capture/$driver.so"
done
