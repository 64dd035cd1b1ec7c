#!/usr/bin/env bash
# Installs the Debian packages on this machine as a user would, uses what they installed, removes
# them and checks that nothing of them is left. Runs as root on Debian 12 (it calls apt-get).
#   package_check.sh [DIR]   DIR holds snipwave_*.deb and snipwave-cli_*.deb (default: run
#                            ./setup.sh package and take build/package)
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAIL: $*"; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "needs root: it installs and removes packages"
for p in snipwave snipwave-cli; do
    # A real installation must not be replaced by a test build and then purged.
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' &&
        fail "$p is installed on this machine; this check would remove it"
done
dir=${1:-}
if [ -z "$dir" ]; then
    "$top/setup.sh" package || fail "./setup.sh package"
    dir=$top/build/package
fi
debs=("$dir"/snipwave_*.deb "$dir"/snipwave-cli_*.deb)
for deb in "${debs[@]}"; do [ -f "$deb" ] || fail "no package $deb"; done

work=$(mktemp -d)
chmod 755 "$work"
cleanup() {
    dpkg-query -W snipwave snipwave-cli >/dev/null 2>&1 &&
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -q snipwave snipwave-cli >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

echo "== lintian"
# Run as a user, as lintian asks; errors fail the check, the rest is shown.
lint=$(runuser -u nobody -- env HOME="$work" lintian --fail-on error "${debs[@]}" 2>&1)
status=$?
[ -n "$lint" ] && echo "$lint"
[ $status -eq 0 ] || fail "lintian reports errors"

echo "== install"
(cd "$dir" && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    ./"$(basename "${debs[0]}")" ./"$(basename "${debs[1]}")") >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get install"; }
dpkg -L snipwave snipwave-cli | sort -u >"$work/files"

version=$(dpkg-query -W -f='${Version}' snipwave)
[ "$(dpkg-query -W -f='${Version}' snipwave-cli)" = "$version" ] || fail "the packages' versions differ"
/usr/bin/snipwave-cli --version | grep -q " $version\$" ||
    fail "package $version, but snipwave-cli prints: $(/usr/bin/snipwave-cli --version)"

# The programs run as an ordinary user: a program run by root could write its log beside itself
# in /usr/bin. The user's state folder is a scratch one.
home=$work/home
mkdir -p "$home"
chown nobody "$home"
as_user() { runuser -u nobody -- env HOME="$home" XDG_STATE_HOME="$home/state" "$@"; }

echo "== snipwave-cli info, cut"
ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=12" -c:a libmp3lame -b:a 128k \
    -metadata title="Smoke tone" "$home/tone.mp3" || fail "fixture"
chown nobody "$home/tone.mp3"
as_user /usr/bin/snipwave-cli info "$home/tone.mp3" >"$work/info" 2>&1 ||
    { cat "$work/info"; fail "snipwave-cli info"; }
grep -q "Smoke tone" "$work/info" || { cat "$work/info"; fail "info shows no title"; }
as_user /usr/bin/snipwave-cli cut "$home/tone.mp3" --start 2 --end 9 --output "$home/cut.mp3" \
    >"$work/cut" 2>&1 || { cat "$work/cut"; fail "snipwave-cli cut"; }
seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$home/cut.mp3")
awk -v d="$seconds" 'BEGIN { exit !(d > 6.9 && d < 7.2) }' || fail "the cut lasts $seconds s, not 7"

echo "== the window under Xvfb"
# Up for a second with its window mapped, then closed by SIGTERM as a session's end does.
as_user xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    /usr/bin/snipwave & pid=$!
    for i in $(seq 100); do
        xdotool search --name "Quillon Snipwave" >/dev/null 2>&1 && break
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    xdotool search --name "Quillon Snipwave" >/dev/null 2>&1 ||
        { echo "no window"; kill $pid 2>/dev/null; exit 1; }
    sleep 1
    kill -0 $pid 2>/dev/null || { echo "the window ended by itself"; exit 1; }
    kill -TERM $pid
    wait $pid' >"$work/window" 2>&1 || { cat "$work/window"; fail "the installed window"; }

echo "== manual pages"
if grep -qs '^path-exclude=*/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
    echo "SKIP man -w: dpkg on this machine leaves out manual pages"
else
    for page in snipwave snipwave-cli; do
        [ "$(man -w "$page")" = "/usr/share/man/man1/$page.1.gz" ] || fail "man -w $page"
    done
    page=$(MANWIDTH=200 man -P cat snipwave-cli 2>/dev/null)
    for command in info cut split play transcode; do
        grep -Eq "^ +snipwave-cli +$command " <<<"$page" || fail "snipwave-cli(1) lacks $command"
    done
fi

echo "== completion"
completion=/usr/share/bash-completion/completions/snipwave-cli
[ -f "$completion" ] || fail "$completion missing"
mkdir -p "$work/c/sub"
touch "$work/c/a.mp3" "$work/c/B.MP3" "$work/c/c.cue" "$work/c/d.txt" "$work/c/e f.mp3"
# Each case: the command line being completed (the cursor at its end), then what Tab offers.
cases='snipwave-cli |--help --version cut info play split transcode
snipwave-cli s|split
snipwave-cli cut --n|--no-tags
snipwave-cli play --|--end --help --start --volume
snipwave-cli cut |B.MP3 a.mp3 e f.mp3 sub
snipwave-cli cut a.mp3 --output |B.MP3 a.mp3 e f.mp3 sub
snipwave-cli info -- |B.MP3 a.mp3 e f.mp3 sub
snipwave-cli split a.mp3 --cue |c.cue sub
snipwave-cli split a.mp3 --output-dir |sub
snipwave-cli cut a.mp3 --start |
snipwave-cli transcode -i |B.MP3 a.mp3 c.cue d.txt e f.mp3 sub
snipwave-cli transcode -vcodec |
snipwave-cli transcode -i a.mp3 -ac|-ac -acodec'
for loader in "" /usr/share/bash-completion/bash_completion; do
    [ -z "$loader" ] || [ -f "$loader" ] || continue
    (cd "$work/c" && bash -c '
        [ -n "$1" ] && . "$1"
        . "$2"
        while IFS="|" read -r line want; do
            read -ra COMP_WORDS <<<"$line"
            [[ $line == *" " ]] && COMP_WORDS+=("")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
            COMPREPLY=()
            _snipwave_cli
            got=$(printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd " ")
            [ "$got" = "$want" ] || echo "\"$line\" (${1:-plain bash}): [$got], not [$want]"
        done <<<"$3"' _ "$loader" "$completion" "$cases") >"$work/completion" 2>&1
    [ -s "$work/completion" ] && { cat "$work/completion"; fail "completion"; }
done

echo "== AppStream"
metainfo=$(grep '^/usr/share/metainfo/.*\.metainfo\.xml$' "$work/files")
[ -n "$metainfo" ] || fail "no metainfo installed"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
grep -q "<release version=\"$version\"" "$metainfo" || fail "no release entry for $version"

echo "== purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q snipwave snipwave-cli >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get purge"; }
for p in snipwave snipwave-cli; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'not-installed' ||
        [ -z "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" ] || fail "$p is still known to dpkg"
done
# Folders such as /usr/bin are shared; a file, or a folder of our own, must be gone.
while read -r path; do
    if [ -d "$path" ] && [ ! -L "$path" ]; then
        case $path in *snipwave*) fail "$path is left" ;; esac
    elif [ -e "$path" ] || [ -L "$path" ]; then
        fail "$path is left"
    fi
done <"$work/files"
[ ! -e /usr/bin/Log ] || fail "a log folder was left in /usr/bin"
echo "packages in order: $(basename -a "${debs[@]}" | paste -sd ' ')"
