# Installs the Debian packages named in "$@" that are missing (sourced by the scripts here).
lrx_install_missing() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    # Without an fsync per file: unpacking is much faster, and a crash only means a reinstall.
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        -o Dpkg::Options::=--force-unsafe-io "${missing[@]}"
}

LRX_BUILD_PACKAGES=(cmake make g++ libgtest-dev libbenchmark-dev g++-mingw-w64-x86-64-posix)
# The packages of tools/release.sh: dpkg-shlibdeps (dpkg-dev, which CPack drives through
# file) computes the Debian package's dependencies; man-db reads the manual pages in tests.
LRX_RELEASE_PACKAGES=(dpkg-dev file man-db)
# Clang with its sanitizer and libFuzzer runtimes, for the fuzz targets.
LRX_FUZZ_PACKAGES=(clang libclang-rt-dev)
# e2fsprogs: chattr, with which a test makes a folder read-only for root too.
LRX_WINE_PACKAGES=(wine wine64 fonts-wine fonts-liberation xvfb imagemagick bsdutils python3 procps
    xdotool e2fsprogs)

# Cross-builds the Windows program (and the test driver) into $1.
lrx_build_windows() {
    local root=$1 dir=$2
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$dir" --target LUM_RAX_COM lumrax lrx_driver -j"$(nproc)"
}
