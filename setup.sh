#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine:
#   ./setup.sh run    install what is missing, build, start the window
#   ./setup.sh test   install what is missing, build with sanitizers, run every test
#   ./setup.sh build  install and build only (release build in build/release)
#   ./setup.sh package  the Debian packages snipwave and snipwave-cli (in build/package)
set -euo pipefail
cd "$(dirname "$0")"
top=$PWD

packages=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev
    libavcodec-dev libavformat-dev libavfilter-dev libavdevice-dev libavutil-dev
    libswscale-dev libswresample-dev libsdl2-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    ffmpeg sox libsox-fmt-mp3 mp3val mpg123 xvfb xauth x11-utils imagemagick dbus-x11 xdg-utils
    desktop-file-utils xdotool
    binutils file time
    clang libclang-rt-14-dev
    dpkg-dev help2man lintian appstream man-db bash-completion
)

install_missing() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build() { # build DIR [cmake args...]
    local dir=$1; shift
    cmake -S "$top" -B "$dir" -G Ninja "$@"
    cmake --build "$dir"
}

# The .deb files in build/package, built with Debian's own compiler and linker flags (hardening,
# all relocations resolved at start as well).
package() {
    local dir=$top/build/package
    local cppflags cflags cxxflags ldflags
    export DEB_BUILD_MAINT_OPTIONS=hardening=+bindnow
    cppflags=$(dpkg-buildflags --get CPPFLAGS)
    cflags=$(dpkg-buildflags --get CFLAGS)
    cxxflags=$(dpkg-buildflags --get CXXFLAGS)
    ldflags=$(dpkg-buildflags --get LDFLAGS)
    build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSNIPWAVE_TESTS=OFF \
        "-DCMAKE_C_FLAGS=$cppflags $cflags" "-DCMAKE_CXX_FLAGS=$cppflags $cxxflags" \
        "-DCMAKE_EXE_LINKER_FLAGS=$ldflags"
    rm -f "$dir"/*.deb
    (cd "$dir" && cpack -G DEB)
    ls "$dir"/*.deb
}

case "${1:-run}" in
run)
    install_missing
    build "$top/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSNIPWAVE_TESTS=OFF
    exec "$top/build/release/snipwave"
    ;;
build)
    install_missing
    build "$top/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSNIPWAVE_TESTS=OFF
    ;;
test)
    install_missing
    build "$top/build/asan" -DCMAKE_BUILD_TYPE=Debug -DSNIPWAVE_SANITIZE=address
    # Fixtures first: the discovered tests only learn of their fixture when ctest starts.
    (cd "$top/build/asan" && ctest -R '^make_fixtures$' && ctest --output-on-failure -j2 --timeout 600)
    # The threaded parts again under ThreadSanitizer; only their test binaries are built.
    cmake -S "$top" -B "$top/build/tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSNIPWAVE_SANITIZE=thread
    threaded=$(cmake --build "$top/build/tsan" --target help | sed -n 's/^\(test_media[a-z_]*\): .*/\1/p' | sort -u)
    cmake --build "$top/build/tsan" --target $threaded
    (cd "$top/build/tsan" && ctest -R '^make_fixtures$' && ctest --output-on-failure -L threaded --timeout 600)
    # Every parser of outside data under libFuzzer for a short while (clang, ASan + UBSan).
    "$top/fuzz/run" 20
    # The Debian packages: built, installed, used, removed without a trace (needs root).
    package
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" "$top/tests/smoke/package_check.sh" "$top/build/package"
    ;;
package)
    install_missing
    package
    ;;
*)
    echo "usage: $0 [run|build|test|package]" >&2
    exit 2
    ;;
esac
