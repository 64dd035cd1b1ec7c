#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks what a desktop needs there: the programs in
# bin/, a valid desktop entry for MP3 files, and the icon in each size it claims.
#   install_check.sh BUILD_DIR
set -u
build=${1:?build folder}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install"
for program in snipwave snipwave-cli; do
    [ -x "$prefix/bin/$program" ] || fail "bin/$program missing"
done
entry=$prefix/share/applications/snipwave.desktop
[ -f "$entry" ] || fail "desktop entry missing"
command -v desktop-file-validate >/dev/null || fail "desktop-file-validate missing (desktop-file-utils)"
desktop-file-validate "$entry" || fail "desktop entry rejected"
grep -qx 'MimeType=audio/mpeg;' "$entry" || fail "entry does not take audio/mpeg"
grep -qx 'Exec=snipwave %f' "$entry" || fail "entry does not pass the file"

icons=$prefix/share/icons/hicolor
[ -s "$icons/scalable/apps/snipwave.svg" ] || fail "scalable icon missing"
for size in 16 24 32 48 64 128 256; do
    png=$icons/${size}x${size}/apps/snipwave.png
    [ -s "$png" ] || fail "$png missing"
    got=$(identify -format '%wx%h' "$png") || fail "$png unreadable"
    [ "$got" = "${size}x${size}" ] || fail "$png is $got"
done
QT_QPA_PLATFORM=offscreen "$prefix/bin/snipwave" --version | grep -q '1\.2\.0' ||
    fail "installed program does not start"
echo "installed layout in order"
