#!/usr/bin/env bash
# Packs the library with cpack (.deb and .tar.gz), checks what each holds, then builds and runs
# the downstream project against the unpacked .deb.
#   package.sh BUILD_DIR [NETNS] [OUT_DIR]
set -euo pipefail
build_dir=$1
netns=${2:-}
source_dir=$(cd "$(dirname "$0")" && pwd)
out=${3:-$(mktemp -d)}
[[ -n ${3:-} ]] || trap 'rm -rf "$out"' EXIT
cpack --config "$build_dir/CPackConfig.cmake" -B "$out" >/dev/null
rm -rf "$out/_CPack_Packages"
deb=$(ls "$out"/*.deb)
tgz=$(ls "$out"/*.tar.gz)
ls -l "$deb" "$tgz"
dpkg-deb -f "$deb" Package Version Depends
for listing in "$(dpkg-deb -c "$deb" | awk '{print $6}')" "$(tar -tzf "$tgz")"; do
  for want in 'liborbaltkvt\.so\.2$' 'include/orbaltkvt\.hpp$' 'include/orbalt/kvt/client\.hpp$' \
              'cmake/orbaltkvt/orbaltkvtConfig\.cmake$' 'cmake/orbaltkvt/orbaltkvtTargets\.cmake$'; do
    grep -qE "$want" <<<"$listing" || { echo "package lacks $want"; exit 1; }
  done
done
"$source_dir/run.sh" "$deb" "$netns"
