#!/usr/bin/env python3
"""Times velmar against a plain copy and the peer toolkits on generated studies, in one run.

1. A static Interfile study (FRAMES frames of 256x256, 16-bit, one "each frame" block per
   frame) is converted by `velmar interfile` and by XMedCon's medcon; both are set against `cp`
   of the data file.
2. The DICOM file that velmar wrote (explicit VR little endian) is converted to implicit VR,
   to explicit big endian and back by `velmar convert`, DCMTK's dcmconv and GDCM's gdcmconv,
   against `cp` of the DICOM file, with each program's peak resident size.
   velmar syncs what it writes before renaming it over the target; the peers and cp do not, so
   both sections also time `cp` followed by `sync` of the copy, the floor of a durable write.
   A conversion that reverses byte order must pass the bytes through its own memory; `dd` with
   256 KiB blocks (a read and a write per block, as velmar does) is the floor of that.
3. `velmar interfile --check` on headers of 500 to 16,000 blocks: seconds and microseconds per
   block, which must stay flat (the key store is linear in the header).

Every figure is the best of REPEATS runs, warm cache, the programs taking turns round after
round. A peer that is not installed is left out with a note. The files go to $TMPDIR (default
/var/tmp); with TMPDIR=/dev/shm (tmpfs) a sync costs nothing and the disk drops out, so the
ratios to cp show the processor's share alone.

Usage: bench/bench_peers.py [--velmar build/velmar] [--frames 2000] [--repeats 3]
"""
import argparse
import os
import resource
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


def run_once(argv, env, cleanup=None):
    """Wall seconds, peak resident MB and processor seconds (via /usr/bin/time) of one run;
    seconds None on failure."""
    timer = shutil.which("time") or "/usr/bin/time"
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        result = subprocess.run([timer, "-f", "%M", "-o", report.name] + argv, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        seconds = time.perf_counter() - start
        text = report.read().strip().splitlines()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if cleanup:
        cleanup()
    peak = int(text[-1]) / 1024.0 if text and text[-1].isdigit() else 0.0
    cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    return (seconds if result.returncode == 0 else None), peak, result.returncode, cpu


def measure_all(rows, env, repeats):
    """Runs the (label, argv, cleanup) rows in turns, round after round, so that a busy moment of
    the machine does not fall on one of them only; each keeps its fastest round and largest peak."""
    best = {label: (None, 0.0, 0, None) for label, _, _ in rows}
    failed = set()
    for _ in range(repeats):
        for label, argv, cleanup in rows:
            if label in failed:
                continue
            seconds, peak, status, cpu = run_once(argv, env, cleanup)
            if seconds is None:
                failed.add(label)
                best[label] = (None, 0.0, status, None)
                continue
            old = best[label]
            fastest = seconds if old[0] is None else min(old[0], seconds)
            least = cpu if old[3] is None else min(old[3], cpu)
            best[label] = (fastest, max(old[1], peak), 0, least)
    return best


def show(label, figure, floor, floor_name="cp"):
    seconds, peak, status, _ = figure
    if seconds is None:
        print(f"  {label:<38} failed (exit status {status})")
        return
    print(f"  {label:<38} {seconds:7.3f} s  {peak:7.1f} MB peak  {seconds / floor:5.2f}x {floor_name}")


def synced_copy(source, target):
    """cp, then the copy synced to disk: velmar syncs every file it writes before it renames it
    over the target, so this is the floor of a write that survives a crash."""
    return ["sh", "-c", 'cp "$1" "$2" && sync "$2"', "sh", source, target]


def durable_ratio(label, figures, floor_label):
    mine, floor = figures[label][0], figures[floor_label][0]
    if mine and floor:
        print(f"  {label} over {floor_label}: {mine / floor:.2f}x")


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
          f"{os.path.getsize(data) / 1e6:.1f} MB data file, best of {repeats}")
    subprocess.run(["cp", data, copy], check=True)  # warm the cache
    rows = [("cp (data file)", ["cp", data, copy], remove(copy)),
            ("cp + sync (durable copy)", synced_copy(data, copy), remove(copy)),
            ("velmar interfile", [velmar, "interfile", header, out], remove(out))]
    if shutil.which("medcon"):
        def clean_medcon():
            for name in os.listdir(work):
                if name.startswith("mc"):
                    os.unlink(os.path.join(work, name))
        rows.append(("medcon -c dicom", ["medcon", "-q", "-f", header, "-c", "dicom", "-o",
                                         os.path.join(work, "mc")], clean_medcon))
    figures = measure_all(rows, env, repeats)
    floor = figures["cp (data file)"][0]
    for label, _, _ in rows:
        show(label, figures[label], floor)
    durable_ratio("velmar interfile", figures, "cp + sync (durable copy)")
    if not shutil.which("medcon"):
        print("  medcon (XMedCon) is not installed: no comparison with it")
    return header, data, out


def native_section(velmar, env, work, repeats):
    source = os.path.join(work, "source.dcm")
    big = os.path.join(work, "big.dcm")
    out = os.path.join(work, "native_out.dcm")
    copy = os.path.join(work, "copy.dcm")
    print(f"Native conversions of a {os.path.getsize(source) / 1e6:.1f} MB explicit VR little "
          f"endian file, best of {repeats}")
    subprocess.run([velmar, "convert", "--syntax", "big", source, big], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    clean = remove(out)
    rows = [
        ("cp (DICOM file)", ["cp", source, copy], remove(copy)),
        ("cp + sync (durable copy)", synced_copy(source, copy), remove(copy)),
        ("dd bs=256k (through memory)", ["dd", f"if={source}", f"of={copy}", "bs=256k", "status=none"],
         remove(copy)),
        ("velmar -> implicit VR LE", [velmar, "convert", "--syntax", "implicit", source, out], clean),
        ("velmar -> explicit VR BE", [velmar, "convert", "--syntax", "big", source, out], clean),
        ("velmar BE -> explicit VR LE", [velmar, "convert", "--syntax", "explicit", big, out], clean),
    ]
    if shutil.which("dcmconv"):
        rows += [("dcmconv +ti", ["dcmconv", "+ti", source, out], clean),
                 ("dcmconv +tb", ["dcmconv", "+tb", source, out], clean),
                 ("dcmconv BE +te", ["dcmconv", "+te", big, out], clean)]
    if shutil.which("gdcmconv"):
        rows += [("gdcmconv --implicit", ["gdcmconv", "--implicit", source, out], clean),
                 ("gdcmconv BE --raw", ["gdcmconv", "--raw", big, out], clean)]
    figures = measure_all(rows, env, repeats)
    floor = figures["cp (DICOM file)"][0]
    for label, _, _ in rows:
        show(label, figures[label], floor)
    for tool, kit in (("dcmconv", "DCMTK"), ("gdcmconv", "GDCM")):
        if not shutil.which(tool):
            print(f"  {tool} ({kit}) is not installed: no comparison with it")
    mine = [figures[label] for label, _, _ in rows[3:6]]
    durable = figures["cp + sync (durable copy)"][0]
    through = figures["dd bs=256k (through memory)"][0]
    if floor and durable and all(m[0] for m in mine):
        print("  ratios to cp: " + ", ".join(f"{m[0] / floor:.2f}" for m in mine) +
              "; to cp + sync: " + ", ".join(f"{m[0] / durable:.2f}" for m in mine) +
              f"; velmar peak {max(m[1] for m in mine):.1f} MB")
        if through:
            print(f"  byte-order changes over dd: {mine[1][0] / through:.2f}, {mine[2][0] / through:.2f}")
    os.unlink(big)


def scaling_section(velmar, env, work, repeats):
    """Per block: the time above that of a one-block header (the program's start and its
    definition files), so that the figure is the key store's and the parser's own. Processor
    time (user + system) is shown beside wall time: on a busy machine it is the steadier."""
    print(f"velmar interfile --check over header blocks (one 'each frame' block per image), "
          f"best of {repeats}")
    counts = (1, 500, 1000, 2000, 4000, 8000, 16000)
    rows = []
    for blocks in counts:
        header = os.path.join(work, f"check{blocks}.hdr")
        with open(header, "w", newline="") as out:
            out.write(header_text(blocks, f"check{blocks}.img"))
        rows.append((blocks, [velmar, "interfile", "--check", header], None))
    figures = measure_all(rows, env, repeats)
    base, _, _, base_cpu = figures[1]
    if base is None:
        print("  a one-block header failed the check run")
        return
    print(f"  {'blocks':>7} {'wall s':>8} {'us/block':>9} {'cpu s':>8} {'us/block':>9}   "
          f"(start-up, one block: {base:.3f} s wall, {base_cpu:.3f} s cpu)")
    wall_per, cpu_per = [], []
    for blocks in counts[1:]:
        seconds, _, status, cpu = figures[blocks]
        if seconds is None:
            print(f"  {blocks:>7} failed (exit status {status})")
            continue
        wall_per.append(max(seconds - base, 0.0) / blocks * 1e6)
        cpu_per.append(max(cpu - base_cpu, 0.0) / blocks * 1e6)
        print(f"  {blocks:>7} {seconds:8.3f} {wall_per[-1]:9.1f} {cpu:8.2f} {cpu_per[-1]:9.1f}")
    for name, values in (("wall", wall_per), ("cpu", cpu_per)):
        if values and min(values) > 0:
            print(f"  {name} time per block, largest over smallest: {max(values) / min(values):.2f}x")


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
        del out
        os.unlink(data)
        native_section(velmar, env, work, args.repeats)
        scaling_section(velmar, env, work, args.repeats)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
