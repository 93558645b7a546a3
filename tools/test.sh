#!/usr/bin/env bash
# Builds both flavours and the release packages and runs every test: short runs of the fuzz
# targets, then in one CTest run the host tests under AddressSanitizer and UBSan, the
# packages' checks and the end-to-end tests of the real exe under Wine. Most of that run
# waits on serial lines and Wine rather than the CPU, so its tests share the cores: the long
# ones (a whole 1284P flash at the protocol's pace, the Wine runs) side by side.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
step() { echo "== $(date +%T) (+${SECONDS}s) $*"; }
. "$root/tools/deps.sh"
step "Debian packages"
lrx_install_missing "${LRX_BUILD_PACKAGES[@]}" "${LRX_FUZZ_PACKAGES[@]}" "${LRX_WINE_PACKAGES[@]}" \
    "${LRX_RELEASE_PACKAGES[@]}"

win="$root/build/win"
host="$root/build/host-asan"
fuzz="$root/build/fuzz"
step "Windows build"
lrx_build_windows "$root" "$win"
step "release packages"
"$root/tools/release.sh"

step "host build"
# The benchmarks are built too, so that they keep up with the code they measure.
cmake -S "$root" -B "$host" -DLRX_SANITIZE=ON -DLRX_BENCH=ON -DLRX_WIN_BUILD_DIR="$win" \
    -DLRX_PACKAGES_DIR="$root/build/packages" >/dev/null
cmake --build "$host" -j"$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The fuzz targets, built with Clang: each replays its seeds and regression inputs and fuzzes
# a few seconds more.
step "fuzz build"
cmake -S "$root" -B "$fuzz" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DLRX_SANITIZE=ON -DLRX_FUZZ=ON -DLRX_BENCH=OFF >/dev/null
cmake --build "$fuzz" --target lrx_fuzz -j"$(nproc)"
step "fuzz runs"
(cd "$fuzz" && ctest --output-on-failure -L fuzz)

step "host, package and end-to-end tests"
(cd "$host" && ctest --output-on-failure -j"$(nproc)")
step "done"
