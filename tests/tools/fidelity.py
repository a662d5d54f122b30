"""Element fidelity checks against peers.

    fidelity.py json MINE.json THEIRS.json
        VR and value of every public element of velmar's dump --json against dcm2json's.
    fidelity.py same SOURCE OUTPUT...
        Each OUTPUT read by pydicom has every public element of SOURCE with the same value (and
        the same VR unless the OUTPUT is named *implicit*), and the same pixel array.

Prints one line per difference; exit status 1 when there is one, 77 when pydicom is missing.
"""
import json
import sys


def public(key):
    return int(key[:4], 16) % 2 == 0


def compare_json(mine, theirs, where, problems):
    for key in sorted(set(mine) | set(theirs)):
        if key == "7FE00010" or not public(key) or key == "00080005":
            continue
        here = where + "/" + key
        if key not in mine or key not in theirs:
            problems.append("%s only in %s" % (here, "velmar" if key in mine else "dcm2json"))
            continue
        a, b = mine[key], theirs[key]
        if a.get("vr") != b.get("vr"):
            problems.append("%s: VR %s != %s" % (here, a.get("vr"), b.get("vr")))
            continue
        if a.get("vr") == "SQ":
            items_a, items_b = a.get("Value", []), b.get("Value", [])
            if len(items_a) != len(items_b):
                problems.append("%s: %d items != %d" % (here, len(items_a), len(items_b)))
            for i, (x, y) in enumerate(zip(items_a, items_b)):
                compare_json(x, y, "%s[%d]" % (here, i), problems)
        elif not same_value(a.get("Value"), b.get("Value")) or a.get("InlineBinary") != b.get("InlineBinary"):
            problems.append("%s: %r != %r" % (here, a, b))


def same_value(a, b):
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    number = (int, float)
    if isinstance(a, number) and isinstance(b, number):
        return abs(a - b) <= 1e-6 * max(1.0, abs(a), abs(b))
    return a == b


def elements(dataset, prefix="", root=None):
    """Public elements with host-order values; group lengths depend on the encoding and are left out."""
    root = root if root is not None else dataset
    for element in dataset:
        if element.tag.group % 2 == 1 or element.tag == 0x7FE00010 or element.tag.element == 0:
            continue
        key = "%s(%04X,%04X)" % (prefix, element.tag.group, element.tag.element)
        if element.VR == "SQ":
            yield key, element, None
            for i, item in enumerate(element.value):
                yield from elements(item, "%s[%d]" % (key, i), root)
        else:
            yield key, element, host_order(element, root)


UNITS = {"OW": 2, "OF": 4, "OL": 4, "OD": 8, "OV": 8}


def host_order(element, dataset):
    """pydicom keeps the bytes of the O* VRs in the file's order: little endian here."""
    value = element.value
    unit = UNITS.get(element.VR)
    if unit is None or dataset.is_little_endian is not False or not isinstance(value, bytes):
        return value
    return b"".join(value[i:i + unit][::-1] for i in range(0, len(value) - unit + 1, unit))


def pixels(dataset):
    if "PixelData" not in dataset:
        return None
    import numpy

    element = dataset["PixelData"]
    if dataset.is_little_endian is False and element.VR == "OW" and dataset.get("BitsAllocated") == 8:
        # pydicom leaves 8-bit samples held in big-endian words in file order; their pixel order
        # is each word reversed.
        count = dataset.Rows * dataset.Columns * dataset.get("SamplesPerPixel", 1) * int(dataset.get("NumberOfFrames", 1))
        return numpy.frombuffer(host_order(element, dataset), numpy.uint8)[:count]
    try:
        return dataset.pixel_array.ravel()
    except Exception as error:  # a syntax pydicom cannot decode here
        return str(error)


def compare_files(source, output, keep_vr):
    import warnings

    import numpy
    import pydicom

    warnings.simplefilter("ignore")  # pydicom's remarks on the samples' own values

    a = pydicom.dcmread(source, force=True)
    b = pydicom.dcmread(output, force=True)
    theirs = {key: (element, value) for key, element, value in elements(b)}
    problems = []
    for key, element, value in elements(a):
        if key not in theirs:
            problems.append("%s missing" % key)
            continue
        other, other_value = theirs[key]
        if keep_vr and element.VR != other.VR:
            problems.append("%s: VR %s != %s" % (key, element.VR, other.VR))
        elif element.VR != "SQ" and value != other_value:
            problems.append("%s: %.60r != %.60r" % (key, value, other_value))
    pa, pb = pixels(a), pixels(b)
    if isinstance(pa, numpy.ndarray) and not (isinstance(pb, numpy.ndarray) and numpy.array_equal(pa, pb)):
        problems.append("pixels differ")
    return problems


def main(argv):
    if argv[1] == "json":
        problems = []
        with open(argv[2], encoding="utf-8") as mine, open(argv[3], encoding="utf-8") as theirs:
            compare_json(json.load(mine), json.load(theirs), "", problems)
    else:
        try:
            problems = []
            for output in argv[3:]:
                found = compare_files(argv[2], output, "implicit" not in output)
                problems += ["%s: %s" % (output, p) for p in found]
        except ImportError:
            return 77
    print("\n".join(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
