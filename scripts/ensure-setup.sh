# Sourced by the other scripts from the repository root: runs scripts/setup.sh
# when this machine lacks the models, the runtime, the tools or the font.
cache=${GLYPHWIPE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvantix-glyphwipe}
need_setup=0
for f in models/ch_PP-OCRv4_det_infer.onnx models/lama_fp32.onnx "$cache/onnxruntime-1.29.0/lib/libonnxruntime.so.1" \
         /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf; do
  [ -s "$f" ] || need_setup=1
done
for c in cmake ffmpeg ffprobe pkg-config help2man; do
  command -v "$c" >/dev/null 2>&1 || need_setup=1
done
# OpenCV (motion between pictures) and the cluster runner's Debian package.
[ -f /usr/include/opencv4/opencv2/video/tracking.hpp ] || need_setup=1
[ -d /usr/lib/python3/dist-packages/distributed ] || need_setup=1
if [ -f tools/make_fill_model.py ] && [ tools/make_fill_model.py -nt models/lama_fp32.onnx ]; then
  need_setup=1
fi
if [ "$need_setup" = 1 ]; then
  bash scripts/setup.sh
fi
