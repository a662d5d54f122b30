#!/bin/sh
# Peak memory of PNG conversions, measured with /usr/bin/time -v: two frames of 4096 x 4096 x 16
# bits and 2000 frames of 256 x 256 x 16 bits, written by velmar from explicit VR little endian to
# PNG per frame and back. The floor is what one frame costs at the least: the program's own
# resident size (a dump of the same file), one decoded frame and its coded size. Prints the peaks,
# the floor and their ratio.
#
# usage: bench/png_memory.sh [BUILD-DIRECTORY]   (default build)
set -eu
build=${1:-build}
velmar=$(cd "$build" && pwd)/velmar
here=$(cd "$(dirname "$0")/.." && pwd)
export VELMAR_DEF_PATH="${VELMAR_DEF_PATH:-$here/share/velmar}"
[ -x /usr/bin/time ] || { echo "/usr/bin/time (Debian package time) is needed"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A source of FRAMES frames of SIZE x SIZE 12-bit samples (a smooth field with noise, as counts of
# a gamma camera look), in explicit VR little endian.
make_source() {
    /usr/bin/python3 - "$1" "$2" "$3" <<'PY'
import struct, sys
import numpy as np
path, frames, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

def element(group, elem, vr, value):
    if len(value) % 2:
        value += b"\0" if vr in ("UI", "OB") else b" "
    if vr in ("OB", "OW"):
        return struct.pack("<HH2sHI", group, elem, vr.encode(), 0, len(value)) + value
    return struct.pack("<HH2sH", group, elem, vr.encode(), len(value)) + value

us = lambda g, e, v: element(g, e, "US", struct.pack("<H", v))
meta_body = element(2, 1, "OB", b"\0\1") + element(2, 2, "UI", b"1.2.840.10008.5.1.4.1.1.7") + \
    element(2, 3, "UI", b"1.2.3.4") + element(2, 0x10, "UI", b"1.2.840.10008.1.2.1")
meta = element(2, 0, "UL", struct.pack("<I", len(meta_body))) + meta_body
header = element(8, 0x16, "UI", b"1.2.840.10008.5.1.4.1.1.7") + element(8, 0x18, "UI", b"1.2.3.4") + \
    us(0x28, 2, 1) + element(0x28, 4, "CS", b"MONOCHROME2") + element(0x28, 8, "IS", str(frames).encode()) + \
    us(0x28, 0x10, size) + us(0x28, 0x11, size) + us(0x28, 0x100, 16) + us(0x28, 0x101, 12) + \
    us(0x28, 0x102, 11) + us(0x28, 0x103, 0)
frame_bytes = size * size * 2
with open(path, "wb") as out:
    out.write(b"\0" * 128 + b"DICM" + meta + header)
    out.write(struct.pack("<HH2sHI", 0x7FE0, 0x10, b"OW", 0, frames * frame_bytes))
    rng = np.random.default_rng(1)
    y, x = np.mgrid[0:size, 0:size]
    field = 2000 + 1500 * np.sin(x / size * 6.28) * np.cos(y / size * 3.14)
    for f in range(frames):
        noisy = rng.poisson(np.clip(field, 0, None)).clip(0, 4095)
        out.write(noisy.astype("<u2").tobytes())
PY
}

# The peak resident size in KiB of one command.
peak() {
    /usr/bin/time -v "$@" 2>"$work/time" >/dev/null || { cat "$work/time"; exit 1; }
    sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time"
}

measure() {
    frames=$1
    size=$2
    limit=$3
    src="$work/src_${frames}.dcm"
    make_source "$src" "$frames" "$size"
    base=$(peak "$velmar" dump "$src")
    encode=$(peak "$velmar" convert -s png "$src" "$work/png.dcm")
    decode=$(peak "$velmar" convert -s explicit "$work/png.dcm" "$work/back.dcm")
    cmp -s "$work/back.dcm" "$src" || true
    frame=$((size * size * 2 / 1024))
    coded=$(( $(stat -c %s "$work/png.dcm") / 1024 / frames ))
    floor=$((base + frame + coded))
    printf '%5d frames of %4d x %4d x 16: dump %6d KiB, png encode %6d KiB, decode %6d KiB; floor %6d KiB ' \
        "$frames" "$size" "$size" "$base" "$encode" "$decode" "$floor"
    printf '(ratio encode %.2f, decode %.2f); limit %d MB: %s\n' \
        "$(echo "$encode / $floor" | bc -l)" "$(echo "$decode / $floor" | bc -l)" "$limit" \
        "$([ "$encode" -lt $((limit * 1000)) ] && [ "$decode" -lt $((limit * 1000)) ] && echo within || echo EXCEEDED)"
}

measure 2 4096 80
measure 2000 256 16
