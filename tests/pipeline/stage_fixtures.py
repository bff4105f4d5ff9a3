"""Writes the photos the metadata stage's tests arrange into flight folders.

Usage: stage_fixtures.py OUT_DIR

Every photo is the same small JPEG (cjpeg) with its own EXIF and drone XMP (exiftool), named
after what it shows: a good nadir shot, one without pose metadata, a tilted one, and so on.
"""
import os
import shutil
import subprocess
import sys

OUT = sys.argv[1]
os.makedirs(OUT, exist_ok=True)

ppm = os.path.join(OUT, "base.ppm")
with open(ppm, "wb") as f:
    f.write(b"P6 64 48 255\n" + bytes((x * 5 + y * 3) % 256 for y in range(48) for x in range(64) for _ in range(3)))
base = os.path.join(OUT, "base.jpg")
with open(base, "wb") as out:
    subprocess.run(["cjpeg", "-quality", "85", ppm], stdout=out, check=True)
os.remove(ppm)

CAMERA = ["-Make=DJI", "-Model=FC300S", "-FocalLength=3.61", "-FocalLengthIn35mmFormat=20",
          "-ExposureTime=0.002", "-FNumber=2.8", "-ISO=100", "-DateTimeOriginal=2016:06:23 16:31:59"]


def gps(lat, lon, alt=198.3):
    return [f"-GPSLatitude={abs(lat)}", f"-GPSLatitudeRef={'S' if lat < 0 else 'N'}",
            f"-GPSLongitude={abs(lon)}", f"-GPSLongitudeRef={'W' if lon < 0 else 'E'}", f"-GPSAltitude={alt}"]


def drone(rel=40.1, yaw=45.0, pitch=-90.0, roll=0.0):
    tags = [f"-XMP-drone-dji:GimbalYawDegree={yaw:+.2f}", f"-XMP-drone-dji:FlightYawDegree={yaw:+.2f}",
            f"-XMP-drone-dji:GimbalRollDegree={roll:+.2f}"]
    if rel is not None:
        tags.append(f"-XMP-drone-dji:RelativeAltitude={rel:+.2f}")
    if pitch is not None:
        tags.append(f"-XMP-drone-dji:GimbalPitchDegree={pitch:+.2f}")
    return tags


LAT, LON = 46.8426, -91.9946
PHOTOS = {
    # six shots 13.5 m apart to the north-east
    **{f"line_{k}": CAMERA + gps(LAT + k * 0.0000875, LON + k * 0.000128) + drone() for k in range(6)},
    "no_pose": CAMERA,
    "no_pose_dxo": CAMERA + ["-Software=DxO PureRAW 3.2"],
    "tilted_64_9": CAMERA + gps(LAT, LON) + drone(pitch=-64.9),
    "tilted_65_0": CAMERA + gps(LAT, LON) + drone(pitch=-65.0),
    "past_nadir_120": CAMERA + gps(LAT, LON) + drone(pitch=-120.0),
    "rel_1_99": CAMERA + gps(LAT, LON) + drone(rel=1.99),
    "rel_2_00": CAMERA + gps(LAT, LON) + drone(rel=2.0),
    "abs_only": CAMERA + gps(LAT, LON, alt=200) + drone(rel=None),
    "no_gps": CAMERA + drone(),
    "no_gimbal": CAMERA + gps(LAT, LON) + ["-XMP-drone-dji:RelativeAltitude=+40.10"],
    "no_focal": ["-Make=DJI", "-Model=FC300S"] + gps(LAT, LON) + drone(),
    "other_camera": ["-Make=DJI", "-Model=FC6310", "-FocalLength=8.8", "-FocalLengthIn35mmFormat=24"] +
    gps(LAT, LON) + drone(),
    "dewarp": CAMERA + gps(LAT, LON) + drone() + [
        "-XMP-drone-dji:DewarpData=2018-06-08;2100,2101,1.5,-2.5,-0.26,0.11,0.0003,-0.0001,-0.02"],
}

args = []
for name, tags in PHOTOS.items():
    target = os.path.join(OUT, name + ".jpg")
    shutil.copyfile(base, target)
    args += ["-q", "-q", "-overwrite_original", *tags, target, "-execute"]
argfile = os.path.join(OUT, "exiftool.args")
with open(argfile, "w", encoding="utf-8") as out:
    out.write("\n".join(args) + "\n")
subprocess.run(["exiftool", "-@", argfile], check=True)
os.remove(argfile)
os.remove(base)
