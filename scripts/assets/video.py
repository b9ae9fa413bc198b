"""Turning rendered frames into the application's looping H.264 videos.

Frames arrive as float RGB arrays (sRGB-encoded, 0..1). The conversion to 4:2:0 BT.709
studio-range YUV happens here rather than in ffmpeg so that no CPU-dependent scaler code
touches the pixels; the encoder runs single-threaded with fixed settings, which makes the
output the same bytes on every run. The settings favour cheap decoding over size.
"""
import subprocess

import numpy as np

# 8 × 8 ordered dither: dark, smooth gradients would otherwise band visibly in 8 bits.
_BAYER = np.array(
    [[0, 32, 8, 40, 2, 34, 10, 42],
     [48, 16, 56, 24, 50, 18, 58, 26],
     [12, 44, 4, 36, 14, 46, 6, 38],
     [60, 28, 52, 20, 62, 30, 54, 22],
     [3, 35, 11, 43, 1, 33, 9, 41],
     [51, 19, 59, 27, 49, 17, 57, 25],
     [15, 47, 7, 39, 13, 45, 5, 37],
     [63, 31, 55, 23, 61, 29, 53, 21]], dtype=np.float32) / 64.0 - 0.5


def yuv420(rgb):
    """Packs one H × W × 3 frame into planar yuv420p bytes (BT.709, studio range)."""
    h, w, _ = rgb.shape
    rgb = np.clip(rgb.astype(np.float32), 0.0, 1.0)
    r, g, b = rgb[..., 0], rgb[..., 1], rgb[..., 2]
    y = 0.2126 * r + 0.7152 * g + 0.0722 * b
    cb = (b - y) / 1.8556
    cr = (r - y) / 1.5748
    dither = np.tile(_BAYER, (h // 8 + 1, w // 8 + 1))[:h, :w]
    y8 = np.clip(np.floor(16.0 + 219.0 * y + 0.5 + dither), 16, 235).astype(np.uint8)

    def subsample(c):
        c = c.reshape(h // 2, 2, w // 2, 2).mean(axis=(1, 3))
        return np.clip(np.floor(128.0 + 224.0 * c + 0.5), 16, 240).astype(np.uint8)

    return y8.tobytes() + subsample(cb).tobytes() + subsample(cr).tobytes()


def encode(path, frames, width, height, fps, crf, maxrate_kbps):
    """Encodes an iterable of RGB frames into a fast-start MP4 at `path`."""
    keyint = 2 * fps
    command = [
        "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
        "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{width}x{height}",
        "-framerate", str(fps), "-i", "-",
        "-an", "-map_metadata", "-1", "-map_chapters", "-1",
        "-c:v", "libx264", "-preset", "slow", "-profile:v", "high", "-threads", "1",
        # The window decodes these on the CPU all the time it is shown: no CABAC, no
        # deblocking and no weighted prediction halve the decoder's work (measured with
        # ffmpeg -benchmark) for about 0.5 dB less PSNR, which the veil hides.
        "-tune", "fastdecode",
        "-crf", str(crf), "-maxrate", f"{maxrate_kbps}k", "-bufsize", f"{2 * maxrate_kbps}k",
        "-g", str(keyint), "-keyint_min", str(keyint), "-sc_threshold", "0",
        "-x264-params", "aq-mode=3:lookahead-threads=1:sliced-threads=0",
        "-pix_fmt", "yuv420p", "-color_range", "tv", "-colorspace", "bt709",
        "-color_primaries", "bt709", "-color_trc", "bt709",
        "-movflags", "+faststart", "-fflags", "+bitexact", "-flags:v", "+bitexact",
        "-metadata:s:v", "handler_name=", "-metadata:s:v", "language=und",
        str(path),
    ]
    with subprocess.Popen(command, stdin=subprocess.PIPE) as ffmpeg:
        for frame in frames:
            assert frame.shape == (height, width, 3)
            ffmpeg.stdin.write(yuv420(frame))
        ffmpeg.stdin.close()
        if ffmpeg.wait() != 0:
            raise SystemExit(f"ffmpeg failed writing {path}")
