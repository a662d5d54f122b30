#!/usr/bin/env python3
"""Times velmar against a plain copy and the peer toolkits on generated studies, in one run.

1. A static Interfile study (FRAMES frames of 256x256, 16-bit, one "each frame" block per
   frame) is converted by `velmar interfile` and by XMedCon's medcon; both are set against `cp`
   of the data file.
2. The DICOM file that velmar wrote (explicit VR little endian) is converted to implicit VR,
   to explicit big endian and back by `velmar convert`, DCMTK's dcmconv and GDCM's gdcmconv,
   against `cp` of the DICOM file, with each program's peak resident size.
3. `velmar interfile --check` on headers of 500 to 16,000 blocks: seconds and microseconds per
   block, which must stay flat (the key store is linear in the header).

Every figure is the best of REPEATS runs, warm cache. A peer that is not installed is left out
with a note.

Usage: bench/bench_peers.py [--velmar build/velmar] [--frames 2000] [--repeats 3]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SIZE = 256


def header_text(frames, data_name, byte_order="LITTLEENDIAN"):
    lines = [
        "!INTERFILE :=",
        "!imaging modality := nucmed",
        "!originating system := bench",
        "!version of keys := 3.3",
        "!GENERAL DATA :=",
        "!data offset in bytes := 0",
        f"!name of data file := {data_name}",
        "!patient ID := BENCH-1",
        "!study ID := BENCH",
        "!GENERAL IMAGE DATA :=",
        "!type of data := Static",
        f"!total number of images := {frames}",
        f"imagedata byte order := {byte_order}",
        "number of energy windows := 1",
        "energy window [1] := Tc99m",
        f"!number of images/energy window := {frames}",
        "!STATIC STUDY (General) :=",
    ]
    for i in range(1, frames + 1):
        lines += [
            "!Static Study (each frame) :=",
            f"!image number := {i}",
            f"!matrix size [1] := {SIZE}",
            f"!matrix size [2] := {SIZE}",
            "!number format := unsigned integer",
            "!number of bytes per pixel := 2",
            "scaling factor (mm/pixel) [1] := 2.0",
            "scaling factor (mm/pixel) [2] := 2.0",
            "image duration (sec) := 10",
            f"maximum pixel count := {i % 4096}",
        ]
    lines.append("!END OF INTERFILE :=")
    return "\r\n".join(lines) + "\r\n"


def write_study(directory, frames, name="study"):
    header = os.path.join(directory, name + ".hdr")
    data = os.path.join(directory, name + ".img")
    with open(header, "w", newline="") as out:
        out.write(header_text(frames, name + ".img"))
    frame = bytes(((i * 7) & 0xFF for i in range(SIZE * SIZE * 2)))
    with open(data, "wb") as out:
        for _ in range(frames):
            out.write(frame)
    return header, data


def measure(argv, env, repeats, cleanup=None):
    """Best wall time and largest peak RSS (MB) over `repeats` runs, via /usr/bin/time -f."""
    best, peak, status = None, 0.0, 0
    timer = shutil.which("time") or "/usr/bin/time"
    for _ in range(repeats):
        with tempfile.NamedTemporaryFile("r") as report:
            start = time.perf_counter()
            result = subprocess.run([timer, "-f", "%M", "-o", report.name] + argv, env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            seconds = time.perf_counter() - start
            text = report.read().strip().splitlines()
        if cleanup:
            cleanup()
        status = result.returncode
        if status != 0:
            return None, 0.0, status
        if text and text[-1].isdigit():
            peak = max(peak, int(text[-1]) / 1024.0)
        best = seconds if best is None else min(best, seconds)
    return best, peak, status


def show(label, figure, floor, floor_name="cp"):
    seconds, peak, status = figure
    if seconds is None:
        print(f"  {label:<38} failed (exit status {status})")
        return
    print(f"  {label:<38} {seconds:7.3f} s  {peak:7.1f} MB peak  {seconds / floor:5.2f}x {floor_name}")


def remove(*paths):
    def clean():
        for p in paths:
            if os.path.exists(p):
                os.unlink(p)
    return clean


def interfile_section(velmar, env, work, frames, repeats):
    header, data = write_study(work, frames)
    out = os.path.join(work, "out.dcm")
    copy = os.path.join(work, "copy.img")
    print(f"Interfile: {frames} frames of {SIZE}x{SIZE} 16-bit, "
          f"{os.path.getsize(data) / 1e6:.1f} MB data file")
    subprocess.run(["cp", data, copy], check=True)  # warm the cache
    cp = measure(["cp", data, copy], env, repeats, remove(copy))
    mine = measure([velmar, "interfile", header, out], env, repeats, remove(out))
    show("cp (data file)", cp, cp[0])
    show("velmar interfile", mine, cp[0])
    if shutil.which("medcon"):
        stem = os.path.join(work, "mc")
        def clean_medcon():
            for name in os.listdir(work):
                if name.startswith("mc"):
                    os.unlink(os.path.join(work, name))
        medcon = measure(["medcon", "-q", "-f", header, "-c", "dicom", "-o", stem], env, repeats,
                         clean_medcon)
        show("medcon -c dicom", medcon, cp[0])
    else:
        print("  medcon (XMedCon) is not installed: no comparison with it")
    return header, data, out


def native_section(velmar, env, work, repeats):
    source = os.path.join(work, "source.dcm")
    big = os.path.join(work, "big.dcm")
    out = os.path.join(work, "native_out.dcm")
    copy = os.path.join(work, "copy.dcm")
    print(f"Native conversions of a {os.path.getsize(source) / 1e6:.1f} MB explicit VR little "
          "endian file")
    subprocess.run([velmar, "convert", "--syntax", "big", source, big], env=env, check=True)
    cp = measure(["cp", source, copy], env, repeats, remove(copy))
    show("cp (DICOM file)", cp, cp[0])
    rows = [
        ("velmar -> implicit VR LE", [velmar, "convert", "--syntax", "implicit", source, out]),
        ("velmar -> explicit VR BE", [velmar, "convert", "--syntax", "big", source, out]),
        ("velmar BE -> explicit VR LE", [velmar, "convert", "--syntax", "explicit", big, out]),
    ]
    if shutil.which("dcmconv"):
        rows += [("dcmconv +ti", ["dcmconv", "+ti", source, out]),
                 ("dcmconv +tb", ["dcmconv", "+tb", source, out]),
                 ("dcmconv BE +te", ["dcmconv", "+te", big, out])]
    else:
        print("  dcmconv (DCMTK) is not installed: no comparison with it")
    if shutil.which("gdcmconv"):
        rows += [("gdcmconv --implicit", ["gdcmconv", "--implicit", source, out]),
                 ("gdcmconv BE --explicit", ["gdcmconv", "--explicit", big, out])]
    else:
        print("  gdcmconv (GDCM) is not installed: no comparison with it")
    for label, argv in rows:
        show(label, measure(argv, env, repeats, remove(out)), cp[0])
    os.unlink(big)


def scaling_section(velmar, env, work, repeats):
    print("velmar interfile --check over header blocks (one 'each frame' block per image)")
    print(f"  {'blocks':>7} {'seconds':>9} {'us/block':>9}")
    per_block = []
    for blocks in (500, 1000, 2000, 4000, 8000, 16000):
        header = os.path.join(work, f"check{blocks}.hdr")
        with open(header, "w", newline="") as out:
            out.write(header_text(blocks, f"check{blocks}.img"))
        open(os.path.join(work, f"check{blocks}.img"), "wb").close()
        seconds, _, status = measure([velmar, "interfile", "--check", header], env, repeats)
        if seconds is None:
            print(f"  {blocks:>7} failed (exit status {status})")
            continue
        per_block.append(seconds / blocks * 1e6)
        print(f"  {blocks:>7} {seconds:9.3f} {per_block[-1]:9.1f}")
    if per_block:
        print(f"  time per block, largest over smallest: {max(per_block) / min(per_block):.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--velmar", default=os.path.join(HERE, "..", "build", "velmar"))
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    velmar = os.path.abspath(args.velmar)
    if not os.access(velmar, os.X_OK):
        sys.exit(f"no velmar program at {velmar}: build it first or give --velmar")
    env = dict(os.environ)
    env.setdefault("VELMAR_DEF_PATH", os.path.join(HERE, "..", "share", "velmar"))
    work = tempfile.mkdtemp(prefix="velmar_bench_", dir=os.environ.get("TMPDIR", "/var/tmp"))
    try:
        header, data, out = interfile_section(velmar, env, work, args.frames, args.repeats)
        subprocess.run([velmar, "interfile", header, os.path.join(work, "source.dcm")], env=env,
                       check=True, stdout=subprocess.DEVNULL)
        os.unlink(data)
        native_section(velmar, env, work, args.repeats)
        scaling_section(velmar, env, work, args.repeats)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
