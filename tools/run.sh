#!/usr/bin/env bash
# Builds LUM_RAX_COM.exe and starts it under Wine on this display, with the device simulator
# standing in for a generator on COM15. Stopping the program stops the simulator.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/tools/deps.sh"
lrx_install_missing "${LRX_BUILD_PACKAGES[@]}" wine wine64 fonts-wine procps

if [ -z "${DISPLAY:-}" ]; then
    echo "No display: start this from a desktop session (or set DISPLAY, e.g. for Xvfb)." >&2
    exit 1
fi

win="$root/build/win"
host="$root/build/host"
lrx_build_windows "$root" "$win"
cmake -S "$root" -B "$host" -DCMAKE_BUILD_TYPE=Release -DLRX_BENCH=OFF >/dev/null
cmake --build "$host" --target lumrax-sim -j"$(nproc)"

export WINEPREFIX="${LRX_WINEPREFIX:-$HOME/.local/share/lum_rax_com/wineprefix}"
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Preparing the Wine prefix $WINEPREFIX (once)..."
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
fi
mkdir -p "$WINEPREFIX/dosdevices"

work="${LRX_WORKDIR:-$HOME/LUM_RAX_COM}"
mkdir -p "$work"

"$host/sim/lumrax-sim" --link "$WINEPREFIX/dosdevices/com15" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT

echo "Simulated generator on COM15 (38400 bps). Working folder: $work"
cd "$work"
wine "$win/LUM_RAX_COM.exe"
