#!/usr/bin/env bash
# Builds both flavours and the release packages and runs every test: the host tests under
# AddressSanitizer and UBSan (with the packages' checks), short runs of the fuzz targets, then
# the end-to-end tests of the real exe under Wine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/tools/deps.sh"
lrx_install_missing "${LRX_BUILD_PACKAGES[@]}" "${LRX_FUZZ_PACKAGES[@]}" "${LRX_WINE_PACKAGES[@]}" \
    "${LRX_RELEASE_PACKAGES[@]}"

win="$root/build/win"
host="$root/build/host-asan"
lrx_build_windows "$root" "$win"
"$root/tools/release.sh"
# The benchmarks are built too, so that they keep up with the code they measure.
cmake -S "$root" -B "$host" -DLRX_SANITIZE=ON -DLRX_BENCH=ON -DLRX_WIN_BUILD_DIR="$win" \
    -DLRX_PACKAGES_DIR="$root/build/packages" >/dev/null
cmake --build "$host" -j"$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$host" && ctest --output-on-failure -j"$(nproc)" -LE e2e)

# The fuzz targets, built with Clang: each replays its seeds and regression inputs and fuzzes
# a few seconds more.
fuzz="$root/build/fuzz"
cmake -S "$root" -B "$fuzz" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DLRX_SANITIZE=ON -DLRX_FUZZ=ON -DLRX_BENCH=OFF >/dev/null
cmake --build "$fuzz" --target lrx_fuzz -j"$(nproc)"
(cd "$fuzz" && ctest --output-on-failure -L fuzz)

cd "$host"
ctest --output-on-failure -L e2e
