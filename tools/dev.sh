#!/usr/bin/env bash
# Kadrel developer entry: installs what the build needs (Debian 12), builds, and then either runs
# the program against the bus simulator or runs every test.
#   tools/dev.sh run    build, start kadrel-sim in the background, run kadrel, stop the simulator
#   tools/dev.sh test   build, run the test suite, the sanitizer build of it and the fuzz targets
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
jobs=$(nproc 2>/dev/null || echo 2)

packages=(build-essential cmake pkg-config qt6-base-dev libgl-dev libgtest-dev libjpeg-dev
          fonts-crosextra-carlito clang libclang-rt-14-dev desktop-file-utils appstream dpkg-dev file
          ser2net)

install_packages() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    else
        echo "Kadrel needs these Debian packages; install them as root:" >&2
        echo "  apt-get install ${missing[*]}" >&2
        exit 1
    fi
}

build() {   # build DIR [cmake options...]
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

case "${1:-}" in
run)
    install_packages
    build build
    ./build/kadrel-sim --name SIM1 --quiet &
    sim=$!
    trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
    # The program lists the simulator's port first and so selects it: click "START".
    if [ -n "${XDG_RUNTIME_DIR:-}" ]; then
        link=$XDG_RUNTIME_DIR/kadrel/ports/SIM1
    else
        link=/tmp/kadrel-$(id -u)/ports/SIM1
    fi
    for _ in $(seq 50); do
        [ -e "$link" ] && break
        sleep 0.1
    done
    ./build/kadrel
    ;;
test)
    install_packages
    build build
    (cd build && ctest --output-on-failure -j"$jobs" --timeout 300)
    # The same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
    build build-asan -DKADREL_SANITIZE=ON -DKADREL_BENCH=OFF
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --output-on-failure -j"$jobs" --timeout 600 -LE nosanitize)
    # A short run of every fuzz target.
    if [ -x tools/fuzz.sh ]; then
        tools/fuzz.sh 20
    fi
    ;;
*)
    echo "usage: tools/dev.sh run|test" >&2
    exit 2
    ;;
esac
