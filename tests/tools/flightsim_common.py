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


EXIF_GROUPS = ("IFD0", "ExifIFD", "GPS", "File")


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
