# Sourced by the benchmark scripts: makes their long source files once into $work and keeps them
# for later runs.
#   source60=$(bench_source_60min "$work")    60 minutes, 44.1 kHz stereo, 128 kbit/s
#   source3h=$(bench_source_3h "$work")       3 hours, the same three times over

bench_source_60min() {
    local src=$1/source60min.mp3
    if [ ! -s "$src" ]; then
        echo "Generating the 60-minute source once (this takes a minute)..." >&2
        # Music-like content rather than a pure tone: two beating partials with a slow tremolo
        # on each side and a little pink noise, so LAME works as hard as on real audio.
        ffmpeg -hide_banner -loglevel error -y \
            -f lavfi -i "aevalsrc=0.25*sin(2*PI*220*t)*(0.6+0.4*sin(2*PI*0.5*t))+0.15*sin(2*PI*331*t)|0.25*sin(2*PI*277*t)*(0.6+0.4*sin(2*PI*0.3*t))+0.15*sin(2*PI*415*t):s=44100:d=3600" \
            -f lavfi -i "anoisesrc=color=pink:amplitude=0.05:sample_rate=44100:duration=3600" \
            -filter_complex "[1]aformat=channel_layouts=mono,pan=stereo|c0=c0|c1=c0[n];[0][n]amix=inputs=2:normalize=0" \
            -c:a libmp3lame -b:a 128k "$src.tmp.mp3" >&2
        mv "$src.tmp.mp3" "$src"
    fi
    echo "$src"
}

bench_source_3h() {
    local one src=$1/source3h.mp3
    one=$(bench_source_60min "$1")
    if [ ! -s "$src" ]; then
        # Three copies of the hour joined by the muxer (a stream copy, seconds rather than the
        # half hour LAME would take): one MP3 stream with one header for all of it.
        printf "file '%s'\nfile '%s'\nfile '%s'\n" "$one" "$one" "$one" >"$1/source3h.txt"
        ffmpeg -hide_banner -loglevel error -y -f concat -safe 0 -i "$1/source3h.txt" -c copy \
            "$src.tmp.mp3" >&2
        mv "$src.tmp.mp3" "$src"
    fi
    echo "$src"
}
