#!/usr/bin/env bash
# Seed corpora for the fuzz targets, made with the ffmpeg command.
# Usage: fuzz/make_corpus.sh OUTDIR   (creates OUTDIR/{detect,options,video})
set -euo pipefail
out=$1
mkdir -p "$out/detect" "$out/options" "$out/video"
ff() { ffmpeg -nostdin -y -loglevel error "$@"; }
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
text="drawtext=fontfile=$font:text=Hello:x=4:y=8:fontsize=14:fontcolor=white:borderw=1"

# Images: every format the loader reads, small, some with text, and two it
# refuses (their signatures lead the fuzzer to the refusal).
ff -f lavfi -i "testsrc2=s=64x48" -vf "$text" -frames:v 1 "$out/detect/text.png"
ff -f lavfi -i "testsrc2=s=64x48" -frames:v 1 "$out/detect/plain.jpg"
# The same JPEG with an Exif block (big-endian TIFF, orientation 6) after its start marker.
/usr/bin/python3 - "$out/detect/plain.jpg" "$out/detect/exif6.jpg" <<'PY'
import struct, sys
jpeg = open(sys.argv[1], "rb").read()
tiff = b"MM" + struct.pack(">HIHHHIHHI", 42, 8, 1, 0x0112, 3, 1, 6, 0, 0)
app1 = b"Exif\0\0" + tiff
open(sys.argv[2], "wb").write(jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + jpeg[2:])
PY
ff -f lavfi -i "color=c=red:s=16x16" -frames:v 1 -pix_fmt rgba "$out/detect/rgba.png"
ff -f lavfi -i "color=c=gray:s=12x9" -frames:v 1 -pix_fmt gray "$out/detect/grey.png"
ff -f lavfi -i "testsrc2=s=40x30" -frames:v 1 -pix_fmt rgb48be "$out/detect/deep.png"
ff -f lavfi -i "testsrc2=s=32x24" -frames:v 1 "$out/detect/pic.bmp"
ff -f lavfi -i "testsrc2=s=32x24" -frames:v 1 "$out/detect/pic.tga"
ff -f lavfi -i "testsrc2=s=32x24" -frames:v 1 "$out/detect/pic.ppm"
ff -f lavfi -i "testsrc2=s=32x24" -frames:v 1 "$out/detect/pic.gif"
ff -f lavfi -i "testsrc2=s=8x8" -frames:v 1 "$out/detect/tiny.png"

# Options: "name\0value".
i=0
for kv in "threshold 0.5" "threshold  0.5" "threshold 1e-3" "inpaint_radius 007" "inpaint_radius +128" \
          "inpaint_radius 99999999999" "device cuda" "device cpu" "bogus 1"; do
  printf '%s\0%s' "${kv%% *}" "${kv#* }" > "$out/options/seed$i"; i=$((i + 1))
done

# Clips: a few containers and codecs, tiny and short.
ff -f lavfi -i "testsrc2=s=64x48:r=10:d=1" -f lavfi -i "sine=d=1" -c:v libx264 -preset ultrafast -c:a aac -shortest "$out/video/a.mp4"
ff -f lavfi -i "testsrc2=s=48x32:r=10:d=1" -c:v mpeg4 "$out/video/b.avi"
ff -f lavfi -i "testsrc2=s=32x32:r=10:d=1" -f lavfi -i "sine=d=1" -c:v libx264 -preset ultrafast -bf 2 -c:a mp3 -f mpegts "$out/video/c.ts"
ff -f lavfi -i "testsrc2=s=32x24:r=5:d=1" -c:v mjpeg "$out/video/d.mkv"
ff -f lavfi -i "testsrc2=s=34x22:r=5:d=1" -c:v libx264 -preset ultrafast -f h264 "$out/video/e.h264"
