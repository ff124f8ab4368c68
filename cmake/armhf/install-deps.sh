#!/usr/bin/env bash
# Prepares a Debian or Ubuntu PC to cross-build the kit for the Raspberry Pi's
# 32-bit ARM (armhf) and to run the result under qemu, without binfmt_misc:
#
#   sudo cmake/armhf/install-deps.sh [sysroot]      # default: <repo>/.deps/armhf
#   cmake --preset armhf-sim && cmake --build --preset armhf-sim && ctest --preset armhf-sim
#
# Installs the cross compiler, qemu-user and the armhf run-time libraries
# (multiarch: they sit beside the PC's own), and unpacks yaml-cpp's and
# libsndfile's armhf development files into the sysroot, with nlohmann-json's
# headers (the PC's own /usr/include must not be searched by the cross
# compiler). The armhf build has no live view: cpp-httplib is a compiled
# library there would be no armhf copy of. Those are not
# installed with apt: libyaml-cpp-dev is not co-installable across
# architectures (both versions own the same headers), so installing the armhf
# one would remove the PC's and break the native build; libsndfile1-dev would
# pull in the armhf development packages of every codec it can use.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
sysroot="${1:-$root/.deps/armhf}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive

dpkg --print-foreign-architectures | grep -qx armhf || "${as_root[@]}" dpkg --add-architecture armhf
# Every apt-get is tried again if a mirror fails us (cmake/apt-retry.sh).
apt_retry="$root/cmake/apt-retry.sh"
"${as_root[@]}" "$apt_retry" update -qq

# yaml-cpp's run-time package is named after its soname (libyaml-cpp0.7 on
# bookworm, 0.6 on bullseye): take whatever the development package needs.
yaml_runtime="$(apt-cache depends libyaml-cpp-dev:armhf | sed -n 's/^ *Depends: \(libyaml-cpp[0-9.]*\).*/\1/p' | head -n1)"
[ -n "$yaml_runtime" ] || { echo "install-deps: no armhf libyaml-cpp-dev in the package lists" >&2; exit 1; }

"${as_root[@]}" "$apt_retry" install -y -qq --no-install-recommends \
  g++-arm-linux-gnueabihf qemu-user \
  libc6:armhf libstdc++6:armhf "$yaml_runtime:armhf" libsndfile1:armhf libgtest-dev:armhf libgmock-dev:armhf >/dev/null

debs="$(mktemp -d)"
trap 'rm -rf "$debs"' EXIT
chmod a+rwx "$debs"  # apt fetches as its own unprivileged user
(cd "$debs" && "$apt_retry" download -qq "libyaml-cpp-dev:armhf" "$yaml_runtime:armhf" \
  "libsndfile1-dev:armhf" "libsndfile1:armhf" nlohmann-json3-dev libcli11-dev >/dev/null)
rm -rf "$sysroot"
mkdir -p "$sysroot"
for deb in "$debs"/*.deb; do dpkg -x "$deb" "$sysroot"; done
echo "armhf: cross compiler, qemu-arm and run-time libraries installed; yaml-cpp, libsndfile, nlohmann-json and CLI11 unpacked into $sysroot"
