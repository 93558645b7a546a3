#!/usr/bin/env bash
# Makes the release packages with CPack: from the Windows build (build/win) the zip
# LUM_RAX_COM-<version>-win64.zip, from a Release host build of lumrax and lumrax-sim
# (build/host) the Debian package lumrax_<version>_amd64.deb. They replace the packages of
# an earlier run in build/packages, whose path it prints last.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/tools/deps.sh"
lrx_install_missing "${LRX_BUILD_PACKAGES[@]}" "${LRX_RELEASE_PACKAGES[@]}"

win="$root/build/win"
host="$root/build/host"
out="$root/build/packages"
lrx_build_windows "$root" "$win"
cmake -S "$root" -B "$host" -DCMAKE_BUILD_TYPE=Release -DLRX_BENCH=OFF >/dev/null
cmake --build "$host" --target lumrax lumrax-sim lrx_dist -j"$(nproc)"

mkdir -p "$out"
rm -f "$out"/LUM_RAX_COM-*-win64.zip "$out"/lumrax_*.deb
# CPack leaves its staging folders beside the package; only the package moves on.
rm -rf "$win/cpack" "$host/cpack"
(cd "$win" && cpack -B "$win/cpack" >/dev/null)
(cd "$host" && cpack -B "$host/cpack" >/dev/null)
mv "$win"/cpack/LUM_RAX_COM-*-win64.zip "$host"/cpack/lumrax_*.deb "$out"/
ls -l "$out"
echo "$out"
