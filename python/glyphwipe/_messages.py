"""The library's error texts in a user's words.

The library's texts name its internal steps ("stbi_load failed: ...",
"load det model failed: CreateSession: ...", "cannot open input: ...").
readable() turns the known forms into plain sentences that keep every detail
a user needs (the file, the reason); any other text is returned as it is.
"""

import re

_FFMPEG_STEP = r"(?:avcodec|avformat|sws|av|swr)_\w+"

# (pattern, replacement): the first pattern that matches the whole text wins.
_RULES = [
    (r"stbi_load failed: (?P<path>.*) \(stbi: can't fopen\)", r"cannot read \g<path>: cannot open the file"),
    (r"stbi_load failed: (?P<path>.*) \(stbi: (?P<why>.*)\)", r"cannot read \g<path> as an image: \g<why>"),
    (r"unsupported image format: (?P<path>.*) \((?P<formats>.*)\)",
     r"cannot read \g<path> as an image: unsupported format (\g<formats>)"),
    (r"save failed: (?P<path>.*) \((?P<why>.*)\)", r"cannot write \g<path>: \g<why>"),
    (r"load det model failed: (?:CreateSession: )?(?P<why>.*)", r"cannot load the detection model: \g<why>"),
    (r"load lama model failed: (?:CreateSession: )?(?P<why>.*)", r"cannot load the inpainting model: \g<why>"),
    (r"cannot open input: (?P<path>.*) \(path too long\)", r"cannot open \g<path> as a video: path too long"),
    (r"cannot open input: (?P<path>.*)", r"cannot open \g<path> as a video"),
    (r"avformat_find_stream_info failed: (?P<path>.*)", r"cannot read the streams of \g<path>"),
    (r"cannot alloc output context for (?P<path>.*)", r"cannot write \g<path>"),
    (r"cannot open output file: (?P<rest>.*)", r"cannot write \g<rest>"),
    (r"region: need 0 <= y_start_pct < y_end_pct <= 100", r"band must be (top, bottom) with 0 <= top < bottom <= 100"),
    (r"cancelled by glyphwipe_cancel\(\)", r"cancelled"),
    (r"not initialized \u2014 call glyphwipe_init first", r"not initialized: call init() first"),
    (r"detect: det session: (?:SessionRun: )?(?P<why>.*)", r"the detection model failed: \g<why>"),
    (r"detect: det: (?P<why>.*)", r"the detection model's output is unusable: \g<why>"),
    (r"detect: image too small: (?P<size>.*)", r"the picture is too small to look for text in: \g<size>"),
    (r"(?:detect|inpaint): oom", r"out of memory"),
    (r"detect: (?P<why>.*)", r"text detection failed: \g<why>"),
    (r"inpaint: (?P<why>.*)", r"\g<why>"),
    (r"oom rgb|alloc failed", r"out of memory"),
    (r"(?P<step>%s.*)" % _FFMPEG_STEP, r"FFmpeg could not process the video (\g<step>)"),
]
_COMPILED = [(re.compile(p, re.S), r) for p, r in _RULES]


def readable(text):
    """The library's error text as a plain sentence."""
    for pattern, replacement in _COMPILED:
        m = pattern.fullmatch(text)
        if m:
            return m.expand(replacement)
    return text
