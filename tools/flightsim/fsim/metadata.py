"""EXIF and drone XMP tags of the synthetic photos, written with exiftool.

The XMP packet is composed here as text, in the attribute form and field order of the
drone's own firmware, and handed to exiftool as a whole block so that it lands in the
file byte for byte; the EXIF and GPS tags go through exiftool's tag names.
"""
import math
import os
import subprocess

from . import flight as fl

XMP_HEAD = """<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>
<x:xmpmeta xmlns:x="adobe:ns:meta/">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about="DJI Meta Data"
    xmlns:tiff="http://ns.adobe.com/tiff/1.0/"
    xmlns:exif="http://ns.adobe.com/exif/1.0/"
    xmlns:xmp="http://ns.adobe.com/xap/1.0/"
    xmlns:xmpMM="http://ns.adobe.com/xap/1.0/mm/"
    xmlns:dc="http://purl.org/dc/elements/1.1/"
    xmlns:crs="http://ns.adobe.com/camera-raw-settings/1.0/"
    xmlns:drone-dji="http://www.dji.com/drone-dji/1.0/"
"""
XMP_TAIL = """  </rdf:Description>
 </rdf:RDF>
</x:xmpmeta>
"""
# The firmware pads its packet with blank lines so that it can be edited in place.
XMP_PADDING = ("  " * 50 + "\n") * 20 + '<?xpacket end="w"?>'


def signed(v, decimals):
    """A number as the firmware writes it: always with a sign, fixed decimals."""
    return "%+.*f" % (decimals, v)


def drone_attributes(o, photo, cam_tags, index):
    """The drone-dji attributes of one photo, in order, as (name, text) pairs."""
    r = photo["recorded"]
    alt_dec = 3 if o.xmp_style == "new" else 2
    a = []
    if o.xmp_style == "new":
        rtk = o.gps == "rtk"
        a += [("Version", "1.0"), ("ImageSource", "WideCamera"),
              ("GpsStatus", "RTK" if rtk else "Normal"),
              ("AltitudeType", "RtkAlt" if rtk else "GpsFusionAlt"),
              ("GpsLatitude", signed(r["lat"], 10)), ("GpsLongitude", signed(r["lon"], 10))]
    a += [("AbsoluteAltitude", signed(r["abs_alt"], alt_dec)),
          ("RelativeAltitude", signed(r["rel_alt"], alt_dec)),
          ("GimbalRollDegree", signed(r["gimbal_roll"], 2)),
          ("GimbalYawDegree", signed(r["gimbal_yaw"], 2)),
          ("GimbalPitchDegree", signed(r["gimbal_pitch"], 2)),
          ("FlightRollDegree", signed(r["flight_roll"], 2)),
          ("FlightYawDegree", signed(r["flight_yaw"], 2)),
          ("FlightPitchDegree", signed(r["flight_pitch"], 2))]
    if o.xmp_style == "new":
        a += [("FlightXSpeed", "+0.00"), ("FlightYSpeed", "+0.00"), ("FlightZSpeed", "+0.00"),
              ("CamReverse", "0"), ("GimbalReverse", "0"), ("SelfData", ""), ("SurveyingMode", "1")]
        if o.gps == "rtk":
            a += [("RtkFlag", "50"), ("RtkStdLon", "0.01235"), ("RtkStdLat", "0.01147"), ("RtkStdHgt", "0.02218")]
        for name in ("DewarpData", "DewarpFlag", "CalibratedFocalLength", "CalibratedOpticalCenterX",
                     "CalibratedOpticalCenterY"):
            if name in cam_tags:
                a.append((name, cam_tags[name]))
        a += [("UTCAtExposure", photo["utc"]), ("CameraSerialNumber", "53SQK9F0000%03d" % 417),
              ("DroneModel", o.model), ("DroneSerialNumber", "1581F6Z9C23A0000%03d" % 71)]
    return a


def xmp_packet(o, photo, cam_tags, index, mime="image/jpeg"):
    lines = [XMP_HEAD, '   tiff:Make="%s"\n' % o.make, '   tiff:Model="%s"\n' % o.model,
             '   dc:format="%s"\n' % mime]
    for name, value in drone_attributes(o, photo, cam_tags, index):
        lines.append('   drone-dji:%s="%s"\n' % (name, value))
    lines.append('   crs:Version="7.0"\n   crs:HasSettings="False"\n   crs:HasCrop="False"\n'
                 '   crs:AlreadyApplied="False">\n')
    lines.append(XMP_TAIL)
    lines.append(XMP_PADDING)
    return "".join(lines)


def exif_values(o, photo, cam_tags, width, height):
    """EXIF and GPS values by exiftool tag name (numbers as exiftool reads them with -n)."""
    r = photo["recorded"]
    lat_d, lat_m, lat_s = photo["lat_dms"]
    lon_d, lon_m, lon_s = photo["lon_dms"]
    return {
        "ExifByteOrder": "II",
        "Make": o.make, "Model": o.model, "Software": "v01.09.0300",
        "Orientation": 1,
        "ImageDescription": "default",
        "DateTimeOriginal": photo["time"], "CreateDate": photo["time"], "ModifyDate": photo["time"],
        "ExposureTime": photo["exposure_time"], "FNumber": photo["f_number"], "ISO": photo["iso"],
        "ExposureProgram": 2, "ExposureCompensation": 0, "MeteringMode": 2, "LightSource": 0, "Flash": 32,
        "FocalLength": cam_tags["FocalLength"], "FocalLengthIn35mmFormat": cam_tags["FocalLengthIn35mmFormat"],
        "ColorSpace": 1, "ExifImageWidth": width, "ExifImageHeight": height,
        "WhiteBalance": 0, "SerialNumber": "53SQK9F0000417",
        "GPSVersionID": "2 3 0 0",
        "GPSLatitudeRef": "S" if r["lat"] < 0 else "N",
        "GPSLatitude": "%d %d %.4f" % (lat_d, lat_m, lat_s),
        "GPSLongitudeRef": "W" if r["lon"] < 0 else "E",
        "GPSLongitude": "%d %d %.4f" % (lon_d, lon_m, lon_s),
        "GPSAltitudeRef": 0,
        "GPSAltitude": photo["gps_altitude"],
    }


# Tags given as stored numbers rather than as exiftool's printed form.
RAW_VALUE_TAGS = {"Orientation", "ExposureProgram", "MeteringMode", "LightSource", "Flash", "ColorSpace",
                  "WhiteBalance", "GPSAltitudeRef", "GPSVersionID", "FocalLengthIn35mmFormat", "ISO"}


IFD0_TAGS = {"Make", "Model", "Software", "Orientation", "ImageDescription", "ModifyDate"}


def exif_group(name):
    """exiftool's group prefix that pins a tag to its EXIF directory (several names also
    exist in XMP, where exiftool would otherwise put them)."""
    if name == "ExifByteOrder":
        return ""
    if name.startswith("GPS"):
        return "GPS:"
    return "IFD0:" if name in IFD0_TAGS else "ExifIFD:"


def write_tags(jobs, workdir):
    """jobs: list of (jpeg path, exif dict, xmp text). One exiftool run for all files."""
    args = []
    for path, exif, xmp in jobs:
        xmp_path = os.path.join(workdir, os.path.basename(path) + ".xmp")
        with open(xmp_path, "w", encoding="utf-8") as f:
            f.write(xmp)
        args += ["-overwrite_original", "-JFIF:all="]
        for name, value in exif.items():
            args.append("-%s%s%s=%s" % (exif_group(name), name, "#" if name in RAW_VALUE_TAGS else "", value))
        args.append("-XMP<=" + xmp_path)
        args.append(path)
        args.append("-execute")
    arg_path = os.path.join(workdir, "exiftool.args")
    with open(arg_path, "w", encoding="utf-8") as f:
        f.write("\n".join(args) + "\n")
    res = subprocess.run(["exiftool", "-q", "-q", "-@", arg_path], capture_output=True, text=True)
    if res.returncode != 0 or res.stderr.strip():
        raise RuntimeError("exiftool failed: " + (res.stderr.strip() or "exit code %d" % res.returncode))


def intrinsics_from_tags(width, height, focal_mm, focal_35mm, xmp):
    """The camera the metadata reader derives from these tags: calibrated focal length,
    else the 35 mm equivalent (no focal-plane resolution is written), then DewarpData."""
    w, h = float(width), float(height)
    c0 = ((w - 1) / 2, (h - 1) / 2)
    out = dict(width=width, height=height, kind="none", coeffs=[0.0] * 5)
    cal = _num(xmp.get("CalibratedFocalLength"))
    if math.isfinite(cal):
        f, c = cal, c0
        x, y = _num(xmp.get("CalibratedOpticalCenterX")), _num(xmp.get("CalibratedOpticalCenterY"))
        if math.isfinite(x) and math.isfinite(y) and 0 < x < w and 0 < y < h:
            c = (x, y)
    elif focal_35mm and focal_35mm > 0:
        f, c = focal_35mm * math.hypot(w, h) / fl.DIAGONAL_35MM, c0
    else:
        return None
    out.update(fx=f, fy=f, cx=c[0], cy=c[1])
    dw = xmp.get("DewarpData", "")
    if dw and xmp.get("DewarpFlag", "0").strip() != "1":
        nums = []
        for piece in dw.split(";")[-1].split(","):
            v = _num(piece)
            if not math.isnan(v):
                nums.append(v)
        if len(nums) >= 9:
            out.update(kind="brown", fx=nums[0], fy=nums[1], cx=c0[0] + nums[2], cy=c0[1] + nums[3],
                       coeffs=nums[4:9])
    return out


def _num(text):
    if text is None:
        return float("nan")
    try:
        return float(str(text).replace("+", "").strip())
    except ValueError:
        return float("nan")
