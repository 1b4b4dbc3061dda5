#!/usr/bin/env bash
# ./run.sh: sets the machine up (Debian packages, when missing and run as
# root), builds the default configuration and runs the main job.
#
# At this stage the main job enters the stand-in's own test driver in the
# stand-in kernel, sends it a request and unloads it; then plugs a simulated
# programmed receiver and starts each build of the capture minidriver on it
# (the Windows XP build on an XP SP2 machine with an isochronous stream
# pipe, the Windows 2000 build on Windows 2000 with a bulk one), shows what
# the driver made of it, and unplugs it; with the verifier on throughout.
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
echo
build/default/tools/simplug --os xp-sp2 --pipe iso build/default/capture/norvane.so
echo
build/default/tools/simplug --os 2000 --pipe bulk build/default/capture/norvane_w2k.so
