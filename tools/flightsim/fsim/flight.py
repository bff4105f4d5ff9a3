"""The flight plan, the true poses and the metadata a drone would record for them."""
import math
from dataclasses import dataclass
from datetime import datetime, timedelta

import numpy as np

from . import geodesy
from .camera import Camera

DIAGONAL_35MM = math.hypot(36.0, 24.0)
NOMINAL_EXPOSURE_TIME_DEN = 800  # 1/800 s at the reference exposure
F_NUMBER = 5.6
ISO = 100

# GPS error models: per-flight horizontal bias, per-photo horizontal noise, relative
# (barometric) altitude bias and noise, absolute altitude bias and noise, in metres.
GPS_MODELS = {
    "standard": dict(h_bias=1.0, h_noise=0.6, rel_bias=0.3, rel_noise=0.15, abs_bias=3.0, abs_noise=0.5),
    "rtk": dict(h_bias=0.0, h_noise=0.015, rel_bias=0.0, rel_noise=0.02, abs_bias=0.0, abs_noise=0.03),
    "none": dict(h_bias=0.0, h_noise=0.0, rel_bias=0.0, rel_noise=0.0, abs_bias=0.0, abs_noise=0.0),
}


@dataclass
class FlightOptions:
    photos: int = 24
    legs: int = 4
    width: int = 1600
    height: int = 1200
    altitude_m: float = 80.0
    forward_overlap: float = 0.75
    side_overlap: float = 0.65
    focal_mm: float = 8.8
    sensor_width_mm: float = 13.2
    heading_deg: float = 0.0
    lat: float = 47.0
    lon: float = 8.3
    takeoff_amsl_m: float = 432.0
    gps: str = "standard"
    attitude_jitter_deg: float = 0.5
    attitude_noise_deg: float = 0.3
    path_jitter_m: float = 0.25
    exposure_ev: float = 0.15
    distortion: float = 1.0
    vignetting: float = 0.2
    xmp_style: str = "new"
    start_time: str = "2024:05:14 10:30:00"
    interval_s: float = 2.0
    make: str = "DJI"
    model: str = "FC6310"


# Brown coefficients [k1, k2, p1, p2, k3] and principal point offset (fractions of the
# width and height) of the default lens; `distortion` scales all of them.
LENS_COEFFS = (-0.04, 0.012, 0.0002, -0.00015, -0.002)
LENS_CENTRE_OFFSET = (0.006, -0.004)


def f35_of(focal_mm, sensor_width_mm, width, height):
    sensor_diag = sensor_width_mm * math.hypot(width, height) / width
    return focal_mm * DIAGONAL_35MM / sensor_diag


def make_camera(o):
    """The true camera and the texts that describe it in the tags."""
    w, h = o.width, o.height
    f35 = int(round(f35_of(o.focal_mm, o.sensor_width_mm, w, h)))
    c0 = ((w - 1) / 2, (h - 1) / 2)
    tags = {"FocalLengthIn35mmFormat": f35}
    if o.xmp_style == "old":
        # Old firmware records only the 35 mm equivalent, a whole number; snapping the
        # true focal length to it keeps the metadata consistent with the photos.
        f = f35 * math.hypot(w, h) / DIAGONAL_35MM
        offset = (0.0, 0.0)
    else:
        f = float("%.6f" % (o.focal_mm * w / o.sensor_width_mm))
        offset = (round(LENS_CENTRE_OFFSET[0] * w * o.distortion, 2),
                  round(LENS_CENTRE_OFFSET[1] * h * o.distortion, 2))
    coeffs = [float("%.12f" % (c * o.distortion)) for c in LENS_COEFFS]
    cam = Camera(width=w, height=h, fx=f, fy=f, cx=c0[0] + offset[0], cy=c0[1] + offset[1], coeffs=coeffs)
    tags["FocalLength"] = round(f * o.sensor_width_mm / w, 2)
    if o.xmp_style == "new":
        tags["CalibratedFocalLength"] = "%.6f" % f
        tags["CalibratedOpticalCenterX"] = "%.6f" % cam.cx
        tags["CalibratedOpticalCenterY"] = "%.6f" % cam.cy
        if o.distortion != 0:
            nums = [f, f, offset[0], offset[1]] + coeffs
            tags["DewarpData"] = "2024-01-15;" + ",".join("%.12f" % v for v in nums)
            tags["DewarpFlag"] = "0"
    return cam, tags


def nominal_gsd(o, cam):
    return o.altitude_m / cam.fx


def plan(o, cam):
    """Nominal camera stations: list of (east, north, leg yaw in degrees), centred on 0."""
    gsd = nominal_gsd(o, cam)
    along = o.height * gsd * (1 - o.forward_overlap)
    across = o.width * gsd * (1 - o.side_overlap)
    per_leg = math.ceil(o.photos / o.legs)
    h = math.radians(o.heading_deg)
    a = np.array([math.sin(h), math.cos(h)])      # along the first leg
    c = np.array([math.cos(h), -math.sin(h)])     # to its right
    out = []
    for i in range(o.legs):
        for k in range(per_leg):
            if len(out) == o.photos:
                break
            s = (k - (per_leg - 1) / 2) * along
            if i % 2:
                s = -s
            p = s * a + (i - (o.legs - 1) / 2) * across * c
            yaw = o.heading_deg + (180.0 if i % 2 else 0.0)
            out.append((p[0], p[1], (yaw + 180) % 360 - 180))
    return out, along, across


def draw_true_poses(o, stations, rng):
    """True positions (local metres) and angles; the yaw is from grid north."""
    poses = []
    j = o.attitude_jitter_deg
    for e, n, yaw in stations:
        poses.append(dict(
            position=[e + rng.normal(0, o.path_jitter_m), n + rng.normal(0, o.path_jitter_m),
                      o.altitude_m + rng.normal(0, o.path_jitter_m * 0.5)],
            yaw=yaw + rng.normal(0, j), pitch=-90.0 + rng.normal(0, j), roll=rng.normal(0, j)))
    return poses


def utm_frame(lat, lon):
    """Zone, hemisphere and a 100 m grid node near (lat, lon) that becomes local (0, 0)."""
    zone = geodesy.utm_zone(lon)
    south = lat < 0
    e, n, _ = geodesy.utm_forward(lat, lon, zone, south)
    return zone, south, round(e / 100) * 100.0, round(n / 100) * 100.0


def _dms(value):
    """Degrees as (d, m, s) with the seconds rounded to 1e-4 (about 3 mm)."""
    v = abs(value)
    d = int(v)
    m = int((v - d) * 60)
    s = round(((v - d) * 60 - m) * 60, 4)
    if s >= 60:
        s -= 60
        m += 1
    if m >= 60:
        m -= 60
        d += 1
    return d, m, s


def dms_value(d, m, s, negative):
    v = (d + m / 60) + s / 3600
    return -v if negative else v


def metadata(o, poses, frame, rng, takeoff_amsl):
    """Noise-free and recorded metadata per photo, plus the exposure of each shot."""
    zone, south, oe, on = frame
    g = GPS_MODELS[o.gps]
    bias = rng.normal(0, g["h_bias"], 2) if g["h_bias"] else np.zeros(2)
    rel_bias = rng.normal(0, g["rel_bias"]) if g["rel_bias"] else 0.0
    abs_bias = rng.normal(0, g["abs_bias"]) if g["abs_bias"] else 0.0
    t0 = datetime.strptime(o.start_time, "%Y:%m:%d %H:%M:%S")
    out = []
    for i, p in enumerate(poses):
        E, N, z = oe + p["position"][0], on + p["position"][1], p["position"][2]
        lat, lon = geodesy.utm_inverse(E, N, zone, south)
        gamma = math.degrees(geodesy.utm_forward(lat, lon, zone, south)[2])
        true = dict(lat=lat, lon=lon, rel_alt=z, abs_alt=takeoff_amsl + z,
                    gimbal_yaw=_wrap(p["yaw"] + gamma), gimbal_pitch=p["pitch"], gimbal_roll=p["roll"])
        flight_yaw = true["gimbal_yaw"] + rng.normal(0, 1.5)
        true["flight_yaw"] = flight_yaw
        dh = bias + (rng.normal(0, g["h_noise"], 2) if g["h_noise"] else 0.0)
        nlat, nlon = geodesy.utm_inverse(E + dh[0], N + dh[1], zone, south)
        rel = z + rel_bias + (rng.normal(0, g["rel_noise"]) if g["rel_noise"] else 0.0)
        ab = takeoff_amsl + z + abs_bias + (rng.normal(0, g["abs_noise"]) if g["abs_noise"] else 0.0)
        s = o.attitude_noise_deg
        att = rng.normal(0, s, 3) if s else np.zeros(3)
        lat_dms, lon_dms = _dms(nlat), _dms(nlon)
        rec = dict(
            lat=dms_value(*lat_dms, nlat < 0) if o.xmp_style == "old" else round(nlat, 10),
            lon=dms_value(*lon_dms, nlon < 0) if o.xmp_style == "old" else round(nlon, 10),
            rel_alt=round(rel, 3 if o.xmp_style == "new" else 2),
            abs_alt=round(ab, 3 if o.xmp_style == "new" else 2),
            gimbal_yaw=round(_wrap(true["gimbal_yaw"] + att[0]), 2),
            gimbal_pitch=round(true["gimbal_pitch"] + att[1], 2),
            gimbal_roll=round(true["gimbal_roll"] + att[2], 2),
            flight_yaw=round(_wrap(flight_yaw), 2),
            flight_pitch=round(rng.normal(0, 2.0), 2),
            flight_roll=round(rng.normal(0, 2.0), 2),
        )
        ev = rng.normal(0, o.exposure_ev) if o.exposure_ev else 0.0
        den = int(round(NOMINAL_EXPOSURE_TIME_DEN / 2 ** ev))
        gain = NOMINAL_EXPOSURE_TIME_DEN / den
        when = t0 + timedelta(seconds=o.interval_s * i)
        out.append(dict(true=true, recorded=rec, lat_dms=lat_dms, lon_dms=lon_dms,
                        gps_altitude=round(ab, 3),
                        exposure_time="1/%d" % den, exposure_time_s=1.0 / den, f_number=F_NUMBER, iso=ISO,
                        exposure=(1.0 / den) * ISO / (F_NUMBER * F_NUMBER), gain=gain,
                        time=when.strftime("%Y:%m:%d %H:%M:%S"),
                        utc=(when - timedelta(hours=2)).strftime("%Y:%m:%d %H:%M:%S") + ".%06d" % (i * 1370 % 1000000)))
    return out


def _wrap(deg):
    return (deg + 180.0) % 360.0 - 180.0


def reader_origin(records, zone, south):
    """The UTM origin the metadata reader derives: mean position rounded to 100 m."""
    es, ns = [], []
    for r in records:
        e, n, _ = geodesy.utm_forward(r["lat"], r["lon"], zone, south)
        es.append(e)
        ns.append(n)
    return (100 * geodesy.round_half_even(sum(x / 100 for x in es) / len(es)),
            100 * geodesy.round_half_even(sum(x / 100 for x in ns) / len(ns)))
