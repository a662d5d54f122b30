#!/usr/bin/python3
"""Converts images of every sample layout between every pair of transfer syntaxes with the velmar
program and checks with pydicom that the pixels come back exactly.

usage: roundtrip_syntaxes.py VELMAR TEST-CODEC-LIBRARY WORK-DIRECTORY
The syntaxes are implicit, explicit, big, png and the test codec's (XOR-coded fragments). Each
layout is written by pydicom in explicit VR little endian, converted by velmar to syntax A, from A
to syntax B, and (when B is encapsulated) from B back to explicit VR little endian; pydicom's pixel
array of the result must equal the source's, and an explicit VR little endian result must hold the
source's Pixel Data bytes. Prints one line per failure; exits 1 when there is any, 77 without
pydicom.
"""
import os
import subprocess
import sys

try:
    import numpy as np
    import pydicom
    from pydicom.dataset import Dataset, FileMetaDataset
    from pydicom.uid import ExplicitVRLittleEndian, generate_uid
except ImportError:
    print("pydicom and numpy are needed")
    sys.exit(77)

XOR_UID = "9.9.9.9.9.9.9.9.9.1"
SYNTAXES = ["implicit", "explicit", "big", "png", XOR_UID]
ENCAPSULATED = {"png", XOR_UID}

# name: (rows, columns, frames, samples, planar, bits allocated, bits stored, signed)
LAYOUTS = {
    "u8": (5, 7, 3, 1, 0, 8, 8, 0),
    "s8": (5, 7, 2, 1, 0, 8, 8, 1),
    "u12in16": (6, 5, 3, 1, 0, 16, 12, 0),
    "s12in16": (6, 5, 2, 1, 0, 16, 12, 1),
    "u16": (4, 9, 3, 1, 0, 16, 16, 0),
    "s16": (4, 9, 2, 1, 0, 16, 16, 1),
    "u32": (3, 5, 3, 1, 0, 32, 32, 0),
    "s32": (3, 5, 2, 1, 0, 32, 32, 1),
    "rgb_planar0": (4, 6, 2, 3, 0, 8, 8, 0),
    "rgb_planar1": (4, 6, 2, 3, 1, 8, 8, 0),
    "bits_5x5x3": (5, 5, 3, 1, 0, 1, 1, 0),
    "bits_3x7x5": (3, 7, 5, 1, 0, 1, 1, 0),
}


def pixel_bytes(rows, columns, frames, samples, bits, stored, signed, seed):
    rng = np.random.default_rng(seed)
    if bits == 1:
        count = rows * columns * frames * samples
        packed = np.packbits(rng.integers(0, 2, count, dtype=np.uint8), bitorder="little")
        return packed.tobytes()
    kind = {8: "i1", 16: "<i2", 32: "<i4"} if signed else {8: "u1", 16: "<u2", 32: "<u4"}
    low, high = (-(1 << (stored - 1)), 1 << (stored - 1)) if signed else (0, 1 << stored)
    values = rng.integers(low, high, rows * columns * frames * samples, dtype=np.int64)
    return values.astype(kind[bits]).tobytes()


def source_file(path, name, layout):
    rows, columns, frames, samples, planar, bits, stored, signed = layout
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.SOPClassUID = meta.MediaStorageSOPClassUID
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.Modality = "OT"
    ds.SamplesPerPixel = samples
    ds.PhotometricInterpretation = "RGB" if samples == 3 else "MONOCHROME2"
    if samples > 1:
        ds.PlanarConfiguration = planar
    ds.NumberOfFrames = str(frames)
    ds.Rows, ds.Columns = rows, columns
    ds.BitsAllocated, ds.BitsStored, ds.HighBit = bits, stored, stored - 1
    ds.PixelRepresentation = signed
    data = pixel_bytes(rows, columns, frames, samples, bits, stored, signed, len(name))
    ds.PixelData = data + (b"\0" if len(data) % 2 else b"")
    ds["PixelData"].VR = "OW" if bits > 8 else "OB"
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(path, write_like_original=False)
    return data


def velmar(program, source, target, syntax, failures, label):
    run = subprocess.run([program, "convert", "-s", syntax, source, target], capture_output=True, text=True)
    if run.returncode != 0:
        failures.append(f"{label}: velmar convert -s {syntax} failed: {run.stderr.strip()}")
        return False
    return True


def check(path, name, expected_bytes, expected_pixels, failures, label):
    ds = pydicom.dcmread(path)
    if not np.array_equal(ds.pixel_array, expected_pixels):
        failures.append(f"{label}: pydicom pixel array differs")
    if ds.file_meta.TransferSyntaxUID == ExplicitVRLittleEndian and \
            ds.PixelData[:len(expected_bytes)] != expected_bytes:
        failures.append(f"{label}: Pixel Data bytes differ")


def main():
    program, plugin, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    with open(os.path.join(work, "usrcodec.map"), "w") as map_file:
        map_file.write(f"{XOR_UID} xor {plugin} test-codec\n")
    os.environ["VELMAR_USER_CODEC_PATH"] = work
    failures = []
    for name, layout in LAYOUTS.items():
        base = os.path.join(work, name + ".dcm")
        data = source_file(base, name, layout)
        expected = pydicom.dcmread(base).pixel_array
        first = {}
        for a in SYNTAXES:
            first[a] = os.path.join(work, f"{name}_{SYNTAXES.index(a)}.dcm")
            if not velmar(program, base, first[a], a, failures, f"{name} to {a}"):
                first.pop(a)
        for a, a_file in first.items():
            for b in SYNTAXES:
                label = f"{name} {a} -> {b}"
                out = os.path.join(work, f"{name}_{SYNTAXES.index(a)}{SYNTAXES.index(b)}.dcm")
                if not velmar(program, a_file, out, b, failures, label):
                    continue
                if b in ENCAPSULATED:
                    back = out + ".x.dcm"
                    if not velmar(program, out, back, "explicit", failures, label + " -> explicit"):
                        continue
                    out = back
                check(out, name, data, expected, failures, label)
    for line in failures:
        print(line)
    print(f"{len(LAYOUTS)} layouts x {len(SYNTAXES)} x {len(SYNTAXES)} syntaxes: {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
