#!/usr/bin/python3
"""Reads a DICOM file converted from an Interfile sample study with pydicom and compares it with
what the samples' README expects of that study: the attributes listed for it (sequences
included), Image Type, Number of Frames, Frame Increment Pointer and frame vectors, and every
pixel against the README's formula.

usage: check_sample.py README HEADER-NAME DICOM-FILE
Prints one line per difference and exits 1 when there is any, 0 otherwise.
"""
import re
import sys

import pydicom
from pydicom.datadict import dictionary_VR, tag_for_keyword

TEXT_VRS = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT", "PN", "SH", "ST", "TM", "UI", "UT"}
VECTORS = {"EnergyWindow": 0x00540010, "Detector": 0x00540020, "Phase": 0x00540030, "Rotation": 0x00540050,
           "RRInterval": 0x00540060, "TimeSlot": 0x00540070, "Slice": 0x00540080, "AngularView": 0x00540090,
           "TimeSlice": 0x00540100}


def table_rows(text, first_column):
    """The rows of the Markdown table whose header row begins with `first_column`."""
    rows, inside = [], False
    for line in text.splitlines():
        if line.startswith("| " + first_column + " |"):
            inside, header = True, [c.strip() for c in line.strip("|").split("|")]
            continue
        if inside:
            if not line.startswith("|"):
                break
            if line.startswith("|---"):
                continue
            rows.append(dict(zip(header, [c.strip() for c in line.strip("|").split("|")])))
    return rows


def split_top(text, sep):
    """Splits at `sep` outside brackets and braces."""
    parts, depth, current = [], 0, ""
    i = 0
    while i < len(text):
        ch = text[i]
        if ch in "[{":
            depth += 1
        elif ch in "]}":
            depth -= 1
        if depth == 0 and text.startswith(sep, i):
            parts.append(current)
            current, i = "", i + len(sep)
            continue
        current += ch
        i += 1
    parts.append(current)
    return [p for p in (p.strip() for p in parts) if p]


def shown(dataset, keyword):
    """The element's value as the README shows it (text without padding), or None if absent."""
    tag = tag_for_keyword(keyword)
    if tag is None or tag not in dataset:
        return None
    element = dataset[tag]
    if dictionary_VR(tag) in TEXT_VRS:
        raw = dataset.get_item(tag).value
        if raw is None:
            return ""
        if isinstance(raw, bytes):
            return raw.decode("latin-1").rstrip(" \0")
        if isinstance(raw, (list, pydicom.multival.MultiValue)):
            return "\\".join(str(v) for v in raw)
        return str(raw).rstrip(" \0")
    value = element.value
    if value is None or value == b"" or value == "":
        return ""
    return str(value)


def angular_views(dataset):
    """The angular views of the one rotation: the highest Angular View Vector entry of an
    acquisition, else Images in Acquisition (the projections of a reconstructed study)."""
    views = dataset.get("AngularViewVector")
    if views not in (None, "", b""):
        return str(max(views) if isinstance(views, (list, pydicom.multival.MultiValue)) else views)
    return shown(dataset, "ImagesInAcquisition")


# Where this converter departs from the README on purpose: the README keeps Number of Frames in
# Rotation at 1, while it counts the angular views of the rotation (readers such as XMedCon take
# it for the number of projections).
DEPARTURES = {"NumberOfFramesInRotation": angular_views}


def check_items(dataset, keyword, expected, problems, where):
    tag = tag_for_keyword(keyword)
    items = list(dataset[tag].value) if tag in dataset else None
    wanted = re.findall(r"\{([^}]*)\}", expected)
    if items is None:
        problems.append(f"{where}{keyword}: absent, expected {len(wanted)} items")
        return
    if len(items) != len(wanted):
        problems.append(f"{where}{keyword}: {len(items)} items, expected {len(wanted)}")
        return
    for n, (item, text) in enumerate(zip(items, wanted), 1):
        for pair in split_top(text, ","):
            name, _, value = pair.partition(" ")
            got = shown(item, name)
            if got is None:  # attributes inside an item may sit in a nested sequence
                for nested in item:
                    if nested.VR == "SQ":
                        for sub in nested.value:
                            got = shown(sub, name) if got is None else got
            value = DEPARTURES[name](dataset) if name in DEPARTURES else value
            if got != value.strip():
                problems.append(f"{where}{keyword} item {n} {name}: {got!r}, expected {value.strip()!r}")


def main():
    readme_path, header, dicom_path = sys.argv[1:4]
    readme = open(readme_path, encoding="utf-8").read()
    ds = pydicom.dcmread(dicom_path)
    problems = []

    # The attribute list of the study.
    match = re.search(r"^- \*\*" + re.escape(header) + r"\*\*: (.*)$", readme, re.M)
    if not match:
        print(f"{header}: not described in the README")
        return 1
    for entry in split_top(match.group(1), ";"):
        if "[" in entry and entry.endswith("]"):
            keyword, _, rest = entry.partition(" ")
            check_items(ds, keyword, rest, problems, "")
            continue
        keyword, value = re.match(r"(\w+) `(.*)`$", entry).groups()
        got = shown(ds, keyword)
        if got != value:
            problems.append(f"{keyword}: {got!r}, expected {value!r}")

    # Image Type, frames, Frame Increment Pointer and vectors.
    for row in table_rows(readme, "header | Image Type"):
        if row["header"] != header:
            continue
        if shown(ds, "ImageType") != row["Image Type"]:
            problems.append(f"ImageType: {shown(ds, 'ImageType')!r}, expected {row['Image Type']!r}")
        frames = row["Number of Frames"]
        if (shown(ds, "NumberOfFrames") or "-") != frames:
            problems.append(f"NumberOfFrames: {shown(ds, 'NumberOfFrames')!r}, expected {frames!r}")
        pointers = ds.get("FrameIncrementPointer")
        if pointers is not None and not isinstance(pointers, (list, pydicom.multival.MultiValue)):
            pointers = [pointers]
        got = " ".join(f"({int(t) >> 16:04X},{int(t) & 0xFFFF:04X})" for t in (pointers or [])) or "-"
        if got != row["Frame Increment Pointer"]:
            problems.append(f"FrameIncrementPointer: {got}, expected {row['Frame Increment Pointer']}")
        expected_vectors = {}
        if row["frame vectors"] != "-":
            for part in row["frame vectors"].split("; "):
                name, _, numbers = part.partition(" ")
                expected_vectors[VECTORS[name]] = [int(n) for n in numbers.split(",")]
        for tag in VECTORS.values():
            got = list(ds[tag].value) if tag in ds else None
            if isinstance(got, list) and got and not isinstance(got[0], int):
                got = [int(v) for v in got]
            if got != expected_vectors.get(tag):
                problems.append(f"vector {tag:08X}: {got}, expected {expected_vectors.get(tag)}")

    # Pixels against the formula.
    for row in table_rows(readme, "header | data file"):
        names = {row["header"], row["header"].replace("[_edited]", ""), row["header"].replace("[_edited]", "_edited")}
        if header not in names:
            continue
        rows, columns = (int(v) for v in row["rows x columns"].split(" x "))
        frames, k, bits = int(row["frames in Pixel Data"]), int(row["K"]), int(row["bits"])
        signed = row["pixel repr."] == "signed"
        pixels = ds.pixel_array.reshape(frames, rows, columns)
        modulus = 1 << bits
        for f in range(frames):
            for r in range(rows):
                for c in range(columns):
                    v = (k * (f + 1) + columns * r + c) % modulus
                    if signed and v >= modulus // 2:
                        v -= modulus
                    if int(pixels[f, r, c]) != v:
                        problems.append(f"pixel frame {f + 1} row {r} column {c}: {int(pixels[f, r, c])}, expected {v}")
                        break

    for p in problems:
        print(f"{header}: {p}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
