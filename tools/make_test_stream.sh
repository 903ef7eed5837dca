#!/usr/bin/env bash
# Makes a synthetic MPEG-2 transport stream to feed the relay:
#   tools/make_test_stream.sh OUT.ts [SECONDS] [VIDEO_PID] [PICTURE] [ENCODING] [MUXING]
# By default H.264 at 60 frames/s, a keyframe every second, with AAC audio,
# about 1.7 Mbit/s in all. PICTURE (an ffmpeg lavfi source) and ENCODING
# (ffmpeg's options for the video and audio codecs) make other streams;
# MUXING adds options of ffmpeg's transport stream muxer. Empty means the
# default. Video goes on VIDEO_PID (default 0x100, the relay's default),
# audio on the PID after it. SECONDS defaults to 30. Through
# tools/test_stream.sh each stream is made only once.
set -euo pipefail

usage() {
  echo "usage: $0 OUT.ts [SECONDS] [VIDEO_PID] [PICTURE] [ENCODING] [MUXING]" >&2
  exit 2
}

[ $# -ge 1 ] && [ $# -le 6 ] || usage
out=$1
seconds=${2:-30}
video_pid=$(( ${3:-0x100} ))
audio_pid=$(( video_pid + 1 ))
picture=${4:-testsrc2=size=426x240:rate=60}
# The relay starts segments at keyframes, so the parameter sets come with
# keyframes only, as x264 puts them. No B-frames keep decode order equal to
# arrival order.
encoding=${5:--c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0 -g 60 -keyint_min 60 -sc_threshold 0
  -b:v 1500k -maxrate 1500k -bufsize 1500k -c:a aac -b:a 128k -ac 2}
muxing=${6:-}
[[ $seconds =~ ^[0-9]+(\.[0-9]+)?$ ]] || usage
# PIDs 0x0000-0x000F are reserved for tables and 0x1FFF is the null packet.
if (( video_pid < 0x10 || audio_pid > 0x1FFE )); then
  echo "$0: VIDEO_PID must lie in 0x10..0x1FFD" >&2
  exit 2
fi

# shellcheck disable=SC2086  # the encoding and muxing options are words
exec ffmpeg -nostdin -hide_banner -loglevel error -y \
  -f lavfi -i "$picture" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000" \
  -t "$seconds" -map 0:v -map 1:a $encoding \
  -streamid "0:$video_pid" -streamid "1:$audio_pid" $muxing \
  -f mpegts "$out"
