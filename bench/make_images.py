#!/usr/bin/env python3
"""Writes the images of the codec benchmark: a 64-frame 256x256 16-bit NM image and a CT series
of 16 slices of 512x512 16-bit, as explicit VR little endian files. The pixels are smooth
structures with counting noise, as nuclear-medicine and CT images are, so that compression
ratios mean something. Usage: make_images.py DIR"""
import array
import math
import os
import struct
import sys


def element(group, number, vr, value):
    if len(value) % 2:
        value += b"\0" if vr in ("UI", "OB") else b" "
    if vr in ("OB", "OW"):
        return struct.pack("<HH2sHI", group, number, vr.encode(), 0, len(value)) + value
    return struct.pack("<HH2sH", group, number, vr.encode(), len(value)) + value


def us(group, number, value):
    return element(group, number, "US", struct.pack("<H", value))


def write(path, sop, modality, rows, columns, frames, pixels, instance):
    ds = element(0x0008, 0x0016, "UI", sop.encode())
    ds += element(0x0008, 0x0018, "UI", ("1.2.826.0.1.3680043.2.1143.99.%d" % instance).encode())
    ds += element(0x0008, 0x0060, "CS", modality.encode())
    ds += us(0x0028, 0x0002, 1) + element(0x0028, 0x0004, "CS", b"MONOCHROME2")
    if frames > 1:
        ds += element(0x0028, 0x0008, "IS", str(frames).encode())
    ds += us(0x0028, 0x0010, rows) + us(0x0028, 0x0011, columns)
    ds += us(0x0028, 0x0100, 16) + us(0x0028, 0x0101, 16) + us(0x0028, 0x0102, 15) + us(0x0028, 0x0103, 0)
    ds += element(0x7FE0, 0x0010, "OW", pixels.tobytes())
    meta = element(0x0002, 0x0001, "OB", b"\0\1") + element(0x0002, 0x0010, "UI", b"1.2.840.10008.1.2.1")
    with open(path, "wb") as out:
        out.write(b"\0" * 128 + b"DICM" + element(0x0002, 0x0000, "UL", struct.pack("<I", len(meta))) + meta + ds)


def image(rows, columns, peak, seed, blobs):
    """Gaussian blobs on a background, plus noise of a few counts per pixel."""
    row_profiles = []
    for (cy, cx, radius, height) in blobs:
        ys = [math.exp(-((y - cy) / radius) ** 2) for y in range(rows)]
        xs = [math.exp(-((x - cx) / radius) ** 2) for x in range(columns)]
        row_profiles.append((ys, xs, height))
    noise = seed
    out = array.array("H")
    for y in range(rows):
        line = [peak // 20] * columns
        for ys, xs, height in row_profiles:
            scale = ys[y] * height
            if scale > 1:
                line = [v + int(scale * xs[x]) for x, v in enumerate(line)]
        for x in range(columns):
            noise = (noise * 1103515245 + 12345) & 0x7FFFFFFF
            line[x] = min(65535, line[x] + (noise >> 27))
        out.extend(line)
    return out


def main():
    target = sys.argv[1]
    os.makedirs(os.path.join(target, "ct"), exist_ok=True)
    frames = array.array("H")
    for f in range(64):
        angle = 2 * math.pi * f / 64
        frames.extend(image(256, 256, 4000, f + 1, [(128, 128 + 40 * math.cos(angle), 30, 3000), (90, 100, 12, 1500)]))
    write(os.path.join(target, "nm.dcm"), "1.2.840.10008.5.1.4.1.1.20", "NM", 256, 256, 64, frames, 0)
    for s in range(16):
        pixels = image(512, 512, 2000, 100 + s, [(256, 256, 180, 1000), (200 + s * 4, 300, 40, 600), (330, 180, 25, 900)])
        write(os.path.join(target, "ct", "ct%02d.dcm" % s), "1.2.840.10008.5.1.4.1.1.2", "CT", 512, 512, 1, pixels, s + 1)


if __name__ == "__main__":
    main()
