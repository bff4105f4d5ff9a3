"""Helpers shared by the flight simulator's tests: prerequisites, running the tools and
reading tags back with exiftool."""
import csv
import io
import math
import os
import shutil
import subprocess
import sys

SKIP = 77
SOURCE_DIR = os.environ.get("TSL_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TOOLS = os.path.join(SOURCE_DIR, "tools", "flightsim")
GENERATE = os.path.join(TOOLS, "generate.py")
EVALUATE = os.path.join(TOOLS, "evaluate.py")


def require_prerequisites():
    """Exits with the skip code when a module or exiftool is missing."""
    missing = []
    for mod in ("numpy", "scipy", "PIL", "osgeo.gdal"):
        try:
            __import__(mod)
        except ImportError:
            missing.append("python3-" + mod.split(".")[-1].replace("PIL", "pil"))
    if shutil.which("exiftool") is None:
        missing.append("exiftool")
    if missing:
        print("skipped: missing " + ", ".join(missing))
        sys.exit(SKIP)
    sys.path.insert(0, TOOLS)


def run_tool(script, args):
    return subprocess.run([sys.executable, script] + list(args), capture_output=True, text=True)


def generate(out, args):
    res = run_tool(GENERATE, [out] + list(args))
    if res.returncode != 0:
        raise AssertionError("generator failed (%d):\n%s\n%s" % (res.returncode, res.stdout, res.stderr))
    return res


def read_tags(paths):
    """Per file: {tag name: [(group, raw value text), ...]} from one exiftool run."""
    res = subprocess.run(["exiftool", "-csv", "-n", "-G1", "-a", "-charset", "utf8"] + list(paths),
                         capture_output=True, text=True)
    if res.returncode != 0:
        raise AssertionError("exiftool failed: " + res.stderr)
    rows = list(csv.reader(io.StringIO(res.stdout)))
    header = rows[0]
    out = {}
    for row in rows[1:]:
        tags = {}
        for key, value in zip(header[1:], row[1:]):
            if value == "" and key.partition(":")[2] != "SelfData":
                continue  # csv rows hold every column of every file
            group, _, name = key.partition(":")
            tags.setdefault(name, []).append((group, value))
        out[os.path.abspath(row[0])] = tags
    return {p: out[os.path.abspath(p)] for p in paths}


def tag(tags, name, groups):
    """The value of `name` (any letter case: exiftool spells some XMP names its own way)
    from the first of `groups` that has it, or None."""
    for key, values in tags.items():
        if key.lower() == name.lower():
            for g, v in values:
                if g in groups:
                    return v
    return None


def exif_number(text):
    """A number as written to the generator's tag arguments: plain, a fraction, or
    degrees minutes seconds."""
    text = str(text).strip()
    if "/" in text:
        a, b = text.split("/")
        return float(a) / float(b)
    parts = text.split()
    if len(parts) == 3:
        d, m, s = (float(x) for x in parts)
        return (d + m / 60) + s / 3600
    return float(text)


def close(a, b, rel=1e-7, abs_tol=1e-9):
    return math.isclose(a, b, rel_tol=rel, abs_tol=abs_tol)


# EXIF values the generator hands to exiftool as text but that are stored as numbers.
NUMBERS_AS_TEXT = ("ExposureTime", "GPSLatitude", "GPSLongitude")


def check_tags_read_back(test, folder, truth):
    """Every EXIF and drone XMP value the truth says was written is what exiftool reads
    from the photo (and from its DNG twin); the drone XMP holds nothing else."""
    from fsim import metadata
    pairs = [(os.path.join(folder, p[k]), p) for p in truth["photos"] for k in ("file", "dng") if k in p]
    paths = [path for path, _ in pairs]
    read = read_tags(paths)
    for path, photo in pairs:
        tags = read[path]
        with test.subTest(folder=os.path.basename(folder), photo=os.path.basename(path)):
            for key, want in photo["tags"]["exif"].items():
                group = metadata.exif_group(key).rstrip(":") or "File"
                got = tag(tags, key, (group,))
                test.assertIsNotNone(got, "%s missing" % key)
                if isinstance(want, str) and key not in NUMBERS_AS_TEXT:
                    test.assertEqual(got, want, key)
                else:
                    # Rationals: exiftool picks the fraction, within 1e-7 relative.
                    test.assertTrue(close(exif_number(got), exif_number(want), rel=1e-7),
                                    "%s: read %s, wrote %s" % (key, got, want))
            got_xmp = {k.lower(): v for k, pairs in tags.items() for g, v in pairs if g == "XMP-drone-dji"}
            want_xmp = {k.lower(): v for k, v in photo["tags"]["xmp"].items()}
            test.assertEqual(got_xmp, want_xmp)
            test.assertEqual(int(tag(tags, "ImageWidth", ("File", "IFD0"))), truth["camera"]["width"])
            test.assertEqual(int(tag(tags, "ImageHeight", ("File", "IFD0"))), truth["camera"]["height"])
            test.assertEqual(tag(tags, "ExifByteOrder", ("File",)), "II")
