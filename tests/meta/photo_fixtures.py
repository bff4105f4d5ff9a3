"""Writes small photo files with known metadata for the metadata reader's tests.

Usage: photo_fixtures.py OUT_DIR

Also writes exiftool.json and exiftool_opcodes.json: exiftool's reading of every file.

JPEGs come from cjpeg and get their tags from exiftool; DNG-like and plain TIFF files come
from tifffile, with EXIF added by exiftool. Every value is chosen so that a reader that
swaps, truncates or mis-scales a field gives a visibly different number.
"""
import os
import struct
import subprocess
import sys

import numpy as np
import tifffile

OUT = sys.argv[1]


def path(name):
    return os.path.join(OUT, name)


# exiftool starts slowly, so every edit is queued and all run in one process at the end.
EXIFTOOL_JOBS = []


def exiftool(target, *args):
    EXIFTOOL_JOBS.append([*args, target])


def run_exiftool_jobs():
    lines = []
    for job in EXIFTOOL_JOBS:
        lines += ["-q", "-q", "-overwrite_original", *job, "-execute"]
    argfile = path("exiftool.args")
    with open(argfile, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")
    subprocess.run(["exiftool", "-@", argfile], check=True)
    os.remove(argfile)


def jpeg(name, w=64, h=48):
    ppm = path(name + ".ppm")
    with open(ppm, "wb") as f:
        f.write(b"P6 %d %d 255\n" % (w, h))
        f.write(bytes((x * 3 + y) % 256 for y in range(h) for x in range(w) for _ in range(3)))
    with open(path(name), "wb") as out:
        subprocess.run(["cjpeg", "-quality", "90", ppm], stdout=out, check=True)
    os.remove(ppm)
    return path(name)


def xmp_packet(body):
    return ('<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>\n'
            '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF '
            'xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">\n'
            '<rdf:Description rdf:about="" xmlns:drone-dji="http://www.dji.com/drone-dji/1.0/" '
            'xmlns:xmp="http://ns.adobe.com/xap/1.0/" ' + body +
            '</rdf:RDF></x:xmpmeta>\n<?xpacket end="w"?>')


EXIF_COMMON = [
    "-Make=DJI", "-Model=FC6310R", "-Software=v02.05.1234",
    "-DateTimeOriginal=2024:03:15 10:30:12",
    "-ExposureTime=0.001", "-FNumber=2.8", "-ISO=100",
    "-FocalLength=8.8", "-FocalLengthIn35mmFormat=24",
]

# DJI's newer attribute form, with a calibration and the misspelt longitude alias.
ATTR_BODY = (
    'drone-dji:GpsLatitude="+22.5437012" drone-dji:GpsLongtitude="+113.9461287" '
    'drone-dji:AbsoluteAltitude="+131.812" drone-dji:RelativeAltitude="+80.26" '
    'drone-dji:GimbalRollDegree="+0.00" drone-dji:GimbalYawDegree="-131.40" '
    'drone-dji:GimbalPitchDegree="-89.90" drone-dji:FlightRollDegree="+1.20" '
    'drone-dji:FlightYawDegree="-130.20" drone-dji:FlightPitchDegree="-3.10" '
    'drone-dji:CalibratedFocalLength="3666.666504" drone-dji:CalibratedOpticalCenterX="2736.000000" '
    'drone-dji:CalibratedOpticalCenterY="1824.000000" '
    'drone-dji:DewarpData="2018-06-08;3678.870000000000,3671.840000000000,10.070000000000,'
    '-11.630000000000,-0.268652000000,0.111836000000,0.000320497000,-0.000096218800,-0.023678300000" '
    'drone-dji:DewarpFlag="0"/>\n')


def drone_attr_jpeg():
    f = jpeg("drone_attr.jpg")
    exiftool(f, *EXIF_COMMON,
             "-FocalPlaneXResolution=2000", "-FocalPlaneResolutionUnit#=3",
             "-GPSLatitude=1.5", "-GPSLatitudeRef=S", "-GPSLongitude=2.5", "-GPSLongitudeRef=W",
             "-GPSAltitude=99", "-GPSAltitudeRef#=0")
    xmp = path("attr.xmp")
    with open(xmp, "w", encoding="utf-8") as out:
        out.write(xmp_packet(ATTR_BODY))
    exiftool(f, "-XMP<=" + xmp)


def drone_elem_jpeg():
    # Element form as exiftool writes it; the GPS altitude is below sea level and no XMP
    # altitude replaces it; the position comes from EXIF only.
    f = jpeg("drone_elem.jpg", 80, 60)
    exiftool(f, *EXIF_COMMON,
             "-FocalPlaneXResolution=4000", "-FocalPlaneResolutionUnit#=4",
             "-GPSLatitude=45.51", "-GPSLatitudeRef=N", "-GPSLongitude=7.25", "-GPSLongitudeRef=E",
             "-GPSAltitude=12.5", "-GPSAltitudeRef#=1",
             "-XMP-drone-dji:RelativeAltitude=+40.10", "-XMP-drone-dji:GimbalYawDegree=+45.30",
             "-XMP-drone-dji:GimbalPitchDegree=-90.00", "-XMP-drone-dji:GimbalRollDegree=+1.50",
             "-XMP-drone-dji:FlightYawDegree=+46.00")


def big_head_jpeg():
    f = jpeg("big_head.jpg")
    exiftool(f, *EXIF_COMMON, "-XMP-drone-dji:RelativeAltitude=+40.10")


def pad_big_head_jpeg():
    # 17 padding segments of 64 KiB push the XMP packet and the frame header past 1 MiB.
    f = path("big_head.jpg")
    data = open(f, "rb").read()
    pos = 2
    while data[pos + 1] != 0xE1:
        pos += 2 + struct.unpack(">H", data[pos + 2:pos + 4])[0]
    pos += 2 + struct.unpack(">H", data[pos + 2:pos + 4])[0]  # after the Exif APP1
    padding = b"".join(b"\xff\xe9" + struct.pack(">H", 65535) + bytes(65533) for _ in range(17))
    with open(f, "wb") as out:
        out.write(data[:pos] + padding + data[pos:])


def plain_jpeg():
    jpeg("plain.jpg", 33, 17)


def opcode_list():
    def op(i, params):
        return struct.pack(">IIII", i, 0x01030000, 0, len(params)) + params
    warp = struct.pack(">I", 1) + struct.pack(">6d", 1.0, -0.01, 0.002, 0.0, 0.0001, -0.0002) + \
        struct.pack(">2d", 0.51, 0.49)
    vign = struct.pack(">7d", 0.1, 0.2, 0.3, 0.0, 0.0, 0.5, 0.5)
    gain = struct.pack(">10I", 0, 0, 30, 40, 0, 1, 1, 1, 2, 3) + struct.pack(">4d", 1.0, 0.5, 0.0, 0.0) + \
        struct.pack(">I", 1) + struct.pack(">6f", 1.0, 1.1, 1.2, 1.3, 1.4, 1.5)
    return struct.pack(">I", 3) + op(1, warp) + op(3, vign) + op(9, gain)


def dng(name, orientation=None, software="fake raw", preview=(12, 16), exif=True):
    # IFD0 is a preview (NewSubfileType 1) carrying the tags, the raw CFA sits in a SubIFD
    # (NewSubfileType 0) with an ActiveArea smaller than its full size.
    ops = opcode_list()
    xmp = xmp_packet('drone-dji:RelativeAltitude="+60.5" drone-dji:GimbalYawDegree="12.5" '
                     'drone-dji:GimbalPitchDegree="-90.0"/>\n').encode()
    tags0 = [(50706, "B", 4, (1, 4, 0, 0), True), (271, "s", 0, "DJI", True), (272, "s", 0, "FC6310R", True),
             (700, 1, len(xmp), xmp, True), (50827, "s", 0, "DJI_0001.DNG", True)]
    if orientation:
        tags0.append((274, "H", 1, orientation, True))
    with tifffile.TiffWriter(path(name)) as tif:
        tif.write(np.zeros((*preview, 3), np.uint8), photometric="rgb", subfiletype=1, subifds=1,
                  software=software, extratags=tags0)
        tif.write(np.zeros((30, 40), np.uint16), photometric=32803, subfiletype=0,
                  extratags=[(50829, "I", 4, (2, 4, 28, 36), True), (51022, 7, len(ops), ops, True)])
    if not exif:
        return
    exiftool(path(name), "-ExposureTime=0.002", "-FNumber=4", "-ISO=200", "-FocalLength=10.26",
             "-FocalLengthIn35mmFormat=28", "-DateTimeOriginal=2024:03:15 10:31:00",
             "-GPSLatitude=47.25", "-GPSLatitudeRef=N", "-GPSLongitude=8.5", "-GPSLongitudeRef=W",
             "-GPSAltitude=300")


def processed_tiff():
    # A developer's TIFF: XMP in tag 700 naming the developer and the preserved raw name.
    xmp = xmp_packet('xmp:CreatorTool="DxO PureRAW 3.0" xmpMM:PreservedFileName="DJI_0007.DNG" '
                     'xmlns:xmpMM="http://ns.adobe.com/xap/1.0/mm/" drone-dji:GimbalPitchDegree="-90"/>\n')
    with tifffile.TiffWriter(path("developed.tif")) as tif:
        tif.write(np.zeros((24, 36, 3), np.uint16), photometric="rgb",
                  extratags=[(700, 1, len(xmp.encode()), xmp.encode(), True)])
    exiftool(path("developed.tif"), *EXIF_COMMON)


def packet_only_tiff():
    # No XMP tag: the packet sits in the image data and is found by searching.
    xmp = xmp_packet('drone-dji:RelativeAltitude="+33.3"/>\n').encode()
    row = np.frombuffer(xmp + bytes((-len(xmp)) % 3), np.uint8)
    image = np.zeros((4, len(row) // 3, 3), np.uint8)
    image[1] = row.reshape(-1, 3)
    tifffile.imwrite(path("packet_only.tif"), image, photometric="rgb")


os.makedirs(OUT, exist_ok=True)
plain_jpeg()
drone_attr_jpeg()
drone_elem_jpeg()
big_head_jpeg()
dng("raw.dng")
dng("turned.DNG", orientation=6)
# A 5 MB preview puts the raw directory beyond the 4 MiB that are read first (exiftool would
# move the directories to the front, so it does not touch this one).
dng("far_raw.dng", preview=(1300, 1300), exif=False)
processed_tiff()
packet_only_tiff()
run_exiftool_jobs()
os.remove(path("attr.xmp"))
pad_big_head_jpeg()
with tifffile.TiffFile(path("far_raw.dng")) as far:
    assert far.pages[0].tags[330].value[0] > 4 << 20, "the raw directory must lie beyond 4 MiB"
# exiftool's own reading of every fixture, the oracle of the reader's tests.
for options, out_name in ((["-n", "-G1", "-a"], "exiftool.json"), (["-G1", "-OpcodeList3"], "exiftool_opcodes.json")):
    photos = sorted(os.path.join(OUT, n) for n in os.listdir(OUT) if not n.endswith(".json"))
    with open(path(out_name), "wb") as out:
        subprocess.run(["exiftool", "-j", *options, *photos], stdout=out, check=True)
