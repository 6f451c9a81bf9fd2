#!/usr/bin/env bash
# Builds and runs a downstream project against the library as a user gets it:
#   run.sh BUILD_DIR [NETNS]     installed from a build tree (cmake --install) into a scratch prefix
#   run.sh PACKAGE.deb [NETNS]   unpacked from the Debian package (dpkg-deb -x)
# With NETNS (scripts/netns) the consumer also opens a Zenoh session, in a private namespace, to
# check that the library binds nothing to the program's own zenoh symbols.
set -euo pipefail
from=$1
netns=${2:-}
source_dir=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if [[ $from == *.deb ]]; then
  dpkg-deb -x "$from" "$scratch/root"
  prefix=$scratch/root/usr
else
  cmake --install "$from" --prefix "$scratch/prefix" >/dev/null
  prefix=$scratch/prefix
fi
cmake -S "$source_dir" -B "$scratch/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/build" >/dev/null
libdirs=$(find "$prefix" -name 'liborbaltkvt.so*' -printf '%h:' | sort -u)
export LD_LIBRARY_PATH="$libdirs${LD_LIBRARY_PATH:-}"

out=$("$scratch/build/consumer")
echo "$out"
[[ $out == *"Format of the provided robot serial number is invalid / ARM_1" ]]
if [[ -n $netns ]]; then
  "$netns" "$scratch/build/consumer" ORB-ABSENT-0001
fi
echo "consumer checks passed"
