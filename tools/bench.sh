#!/usr/bin/env bash
# Builds what the benchmarks need (the host Release build, the Windows program and the Wine
# probe), runs every benchmark and writes docs/benchmarks.md. --quick leaves out the
# ATmega1284P updates and shortens the idle windows.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/tools/deps.sh"
lrx_install_missing "${LRX_BUILD_PACKAGES[@]}" "${LRX_WINE_PACKAGES[@]}"

win="$root/build/win"
rel="$root/build/rel"
lrx_build_windows "$root" "$win"
cmake --build "$win" --target wine_probe -j"$(nproc)"
cmake -S "$root" -B "$rel" -DCMAKE_BUILD_TYPE=Release -DLRX_BENCH=ON >/dev/null
cmake --build "$rel" --target bench_reply_pump hex_check_bench flash_dump_bench chart_bench \
    lumrax lumrax-sim -j"$(nproc)"
python3 "$root/bench/report.py" --build "$rel" --win "$win" --out "$root/docs/benchmarks.md" "$@"
