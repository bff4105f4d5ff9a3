"""Checks of the synthetic flight generator: its tags read back as written, the poses a
metadata reader derives from them reproduce the rendered pixels, and its output is
determined by the seed."""
import glob
import hashlib
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flightsim_common as fc  # noqa: E402

fc.require_prerequisites()

import numpy as np  # noqa: E402
from osgeo import gdal, osr  # noqa: E402
from PIL import Image  # noqa: E402
from scipy import ndimage  # noqa: E402

from fsim import geodesy, measure  # noqa: E402

gdal.UseExceptions()

# A flight whose recorded metadata equals the truth (up to the tags' decimals): no GPS
# error, no gimbal error, no buildings or trees (so nothing hides the ground), strong
# lens distortion, exposure changes and vignetting, east of the central meridian so
# that the grid convergence matters.
EXACT_ARGS = ["--seed", "5", "--photos", "4", "--legs", "2", "--width", "400", "--height", "300",
              "--gps", "none", "--attitude-noise", "0", "--buildings", "0", "--trees", "0",
              "--distortion", "1.5", "--exposure-ev", "0.4", "--vignetting", "0.3",
              "--lat", "47.3", "--lon", "10.2", "--heading", "30", "--jobs", "2"]
# A flight with everything on: GPS and gimbal errors, relief, old firmware tags.
NOISY_ARGS = ["--seed", "9", "--photos", "6", "--legs", "2", "--width", "320", "--height", "240",
              "--xmp-style", "old", "--gps", "standard", "--terrain", "slope", "--jobs", "2",
              "--texels", "1", "--supersample", "1", "--dsm-gsd", "1"]
RTK_ARGS = ["--seed", "3", "--photos", "2", "--legs", "1", "--width", "160", "--height", "120",
            "--gps", "rtk", "--lat", "-33.9", "--lon", "18.4", "--texels", "1", "--supersample", "1",
            "--dsm-gsd", "1", "--jobs", "1"]

# Raw twins: every shot also as a DNG.
DNG_ARGS = ["--seed", "4", "--photos", "2", "--legs", "1", "--width", "320", "--height", "240", "--dng", "1",
            "--distortion", "1.5", "--vignetting", "0.2", "--texels", "1", "--supersample", "1", "--dsm-gsd", "1",
            "--jobs", "2"]

_tmp = None
FLIGHTS = {}


def setUpModule():
    """Every case shares one folder, where the flights are generated on first use."""
    global _tmp
    _tmp = tempfile.TemporaryDirectory()


def tearDownModule():
    _tmp.cleanup()


def flight(name):
    """Generates the named flight once; returns (folder, truth)."""
    if name not in FLIGHTS:
        args = dict(exact=EXACT_ARGS, noisy=NOISY_ARGS, rtk=RTK_ARGS, dng=DNG_ARGS)[name]
        out = os.path.join(_tmp.name, name)
        fc.generate(out, args)
        with open(os.path.join(out, "truth.json"), encoding="utf-8") as f:
            FLIGHTS[name] = (out, json.load(f))
    return FLIGHTS[name]


def utm_of(lat, lon, epsg):
    wgs = osr.SpatialReference()
    wgs.ImportFromEPSG(4326)
    wgs.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
    utm = osr.SpatialReference()
    utm.ImportFromEPSG(epsg)
    utm.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
    ct = osr.CoordinateTransformation(wgs, utm)
    e, n, _ = ct.TransformPoint(lon, lat)
    return e, n


def rotation(yaw, pitch, roll):
    """World-to-camera matrix of the metadata conventions (rows: image right, image down,
    view, in east/north/up)."""
    p, t, r = (math.radians(v) for v in (yaw, pitch, roll))
    cp, sp, ct, st, cr, sr = math.cos(p), math.sin(p), math.cos(t), math.sin(t), math.cos(r), math.sin(r)
    return np.array([[cp * cr + sr * sp * st, sr * cp * st - sp * cr, -sr * ct],
                     [sp * st * cr - cp * sr, cp * st * cr + sp * sr, -ct * cr],
                     [sp * ct, cp * ct, st]])


def pose_from_tags(tags, epsg):
    """Camera centre (UTM east, north, height above take-off) and rotation as a metadata
    reader forms them, with PROJ doing the projection and the grid convergence."""
    x = ("XMP-drone-dji",)
    lat = fc.tag(tags, "GpsLatitude", x) or fc.tag(tags, "GPSLatitude", ("GPS",))
    lon = fc.tag(tags, "GpsLongitude", x) or fc.tag(tags, "GPSLongitude", ("GPS",))
    lat, lon = float(lat.replace("+", "")), float(lon.replace("+", ""))
    e, n = utm_of(lat, lon, epsg)
    e2, n2 = utm_of(lat + 1e-5, lon, epsg)
    bearing_of_true_north = math.degrees(math.atan2(e2 - e, n2 - n))
    num = lambda name: float(fc.tag(tags, name, x).replace("+", ""))  # noqa: E731
    R = rotation(num("GimbalYawDegree") + bearing_of_true_north, num("GimbalPitchDegree"), num("GimbalRollDegree"))
    return np.array([e, n, num("RelativeAltitude")]), R


def lens_from_tags(tags, width, height):
    """(fx, fy, cx, cy, [k1, k2, p1, p2, k3]) from DewarpData, else the calibrated focal."""
    x = ("XMP-drone-dji",)
    dw = fc.tag(tags, "DewarpData", x)
    c0 = ((width - 1) / 2, (height - 1) / 2)
    if dw:
        d = [float(v) for v in dw.split(";")[-1].split(",")]
        return d[0], d[1], c0[0] + d[2], c0[1] + d[3], d[4:9]
    f = float(fc.tag(tags, "CalibratedFocalLength", x))
    return f, f, float(fc.tag(tags, "CalibratedOpticalCenterX", x)), float(fc.tag(tags, "CalibratedOpticalCenterY", x)), [0.0] * 5


def brown(x, y, k):
    k1, k2, p1, p2, k3 = k
    r2 = x * x + y * y
    rad = 1 + r2 * (k1 + r2 * (k2 + r2 * k3))
    return (x * rad + 2 * p1 * x * y + p2 * (r2 + 2 * x * x), y * rad + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y)


def read_raster(path):
    ds = gdal.Open(path)
    a = ds.ReadAsArray()
    return (np.moveaxis(a, 0, -1) if a.ndim == 3 else a), ds.GetGeoTransform()


def srgb_to_linear(v):
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


class TagsTest(unittest.TestCase):
    def test_tags_read_back_as_written(self):
        for name in ("exact", "noisy", "rtk", "dng"):
            folder, truth = flight(name)
            fc.check_tags_read_back(self, folder, truth)

    def test_recorded_metadata_is_in_the_tags(self):
        # The truth's recorded values are what a reader finds: XMP position when the
        # firmware writes it, else the EXIF GPS degrees.
        for name in ("exact", "noisy"):
            folder, truth = flight(name)
            paths = [os.path.join(folder, p["file"]) for p in truth["photos"]]
            read = fc.read_tags(paths)
            for path, photo in zip(paths, truth["photos"]):
                t, rec = read[path], photo["metadata_recorded"]
                x = ("XMP-drone-dji",)
                lat = fc.tag(t, "GpsLatitude", x) or fc.tag(t, "GPSLatitude", ("GPS",))
                self.assertAlmostEqual(float(lat), rec["lat"], delta=1e-9)
                for key, attr in (("rel_alt", "RelativeAltitude"), ("gimbal_yaw", "GimbalYawDegree"),
                                  ("gimbal_pitch", "GimbalPitchDegree"), ("gimbal_roll", "GimbalRollDegree")):
                    self.assertEqual(float(fc.tag(t, attr, x)), rec[key], attr)
                et = fc.exif_number(fc.tag(t, "ExposureTime", ("ExifIFD",)))
                exposure = et * float(fc.tag(t, "ISO", ("ExifIFD",))) / float(fc.tag(t, "FNumber", ("ExifIFD",))) ** 2
                self.assertAlmostEqual(exposure / truth["radiometry"]["reference_exposure"], photo["gain"], delta=1e-6)


class GeometryTest(unittest.TestCase):
    def test_poses_from_tags_match_truth(self):
        folder, truth = flight("exact")
        epsg = truth["utm"]["epsg"]
        origin = np.array([truth["utm"]["origin_e"], truth["utm"]["origin_n"], 0.0])
        paths = [os.path.join(folder, p["file"]) for p in truth["photos"]]
        read = fc.read_tags(paths)
        centres = []
        for path, photo in zip(paths, truth["photos"]):
            C, R = pose_from_tags(read[path], epsg)
            centres.append(C)
            # Tolerances: 1e-10 degree positions and 3-decimal heights give < 1 mm;
            # 2-decimal angles give < 2e-4 in a rotation entry.
            np.testing.assert_allclose(C - origin, photo["position"], atol=2e-3, err_msg=photo["file"])
            np.testing.assert_allclose(R, photo["rotation"], atol=2e-4, err_msg=photo["file"])
        mean = np.mean(centres, axis=0)
        self.assertEqual(truth["utm"]["origin_e"], 100 * round(mean[0] / 100))
        self.assertEqual(truth["utm"]["origin_n"], 100 * round(mean[1] / 100))
        self.assertEqual(epsg, 32632)

    def test_photos_show_the_truth_where_the_tags_say(self):
        # Project the true orthophoto's ground points (with DSM heights) into each photo
        # through the pose and lens read from its tags, undo gain and vignetting, and
        # compare windows across the frame: any error of axes, signs, lens model or
        # georeference shows up as a shift or a colour mismatch.
        folder, truth = flight("exact")
        epsg = truth["utm"]["epsg"]
        ortho, ogt = read_raster(os.path.join(folder, truth["ortho"]["file"]))
        dsm, dgt = read_raster(os.path.join(folder, truth["dsm"]["file"]))
        ortho_lin = srgb_to_linear(ortho / 255.0)
        oh, ow = ortho.shape[:2]
        cols, rows = np.meshgrid(np.arange(ow), np.arange(oh))
        east = ogt[0] + (cols + 0.5) * ogt[1]
        north = ogt[3] + (rows + 0.5) * ogt[5]
        height = ndimage.map_coordinates(dsm, [(north - dgt[3]) / dgt[5] - 0.5, (east - dgt[0]) / dgt[1] - 0.5],
                                         order=1, mode="nearest")
        paths = [os.path.join(folder, p["file"]) for p in truth["photos"]]
        read = fc.read_tags(paths)
        w, h = truth["camera"]["width"], truth["camera"]["height"]
        a_vig = truth["vignetting"]["a"]
        checked = 0
        offsets = []
        for path, photo in zip(paths, truth["photos"]):
            tags = read[path]
            C, R = pose_from_tags(tags, epsg)
            fx, fy, cx, cy, k = lens_from_tags(tags, w, h)
            d = np.stack([east - C[0], north - C[1], height - C[2]], axis=-1) @ R.T
            xd, yd = brown(d[..., 0] / d[..., 2], d[..., 1] / d[..., 2], k)
            u, v = fx * xd + cx, fy * yd + cy
            img = srgb_to_linear(np.asarray(Image.open(path), np.float64) / 255.0)
            seen = (u > 1) & (u < w - 2) & (v > 1) & (v < h - 2)
            et = fc.exif_number(fc.tag(tags, "ExposureTime", ("ExifIFD",)))
            gain = et * float(fc.tag(tags, "ISO", ("ExifIFD",))) / float(fc.tag(tags, "FNumber", ("ExifIFD",))) ** 2 \
                / truth["radiometry"]["reference_exposure"]
            rho2 = ((u - cx) ** 2 + (v - cy) ** 2) / ((w / 2) ** 2 + (h / 2) ** 2)
            back = np.dstack([ndimage.map_coordinates(img[:, :, c], [v, u], order=1) for c in range(3)])
            back /= (gain * (1 - a_vig * rho2))[..., None]
            lum = lambda a: ndimage.gaussian_filter(a @ [0.2126, 0.7152, 0.0722], 0.7)  # noqa: E731
            lb, lo = lum(back), lum(ortho_lin)
            rr, cc = np.nonzero(seen)
            win, search = 24, 4
            for fr in (0.15, 0.5, 0.85):       # corners, edges and centre of the frame
                for fcol in (0.15, 0.5, 0.85):
                    # The ortho cell that the photo pixel (fcol w, fr h) sees.
                    j = np.argmin((u[rr, cc] - fcol * w) ** 2 + (v[rr, cc] - fr * h) ** 2)
                    r0, c0 = rr[j] - win // 2, cc[j] - win // 2
                    if r0 < search or c0 < search or r0 + win + search > oh or c0 + win + search > ow:
                        continue
                    if not seen[r0 - search:r0 + win + search, c0 - search:c0 + win + search].all():
                        continue
                    a = lb[r0:r0 + win, c0:c0 + win]
                    b = lo[r0 - search:r0 + win + search, c0 - search:c0 + win + search]
                    where = "%s at (%.2f, %.2f)" % (photo["file"], fcol, fr)
                    ow_ = lo[r0:r0 + win, c0:c0 + win]
                    if ow_.std() < 0.01 or measure.isotropy(ow_) < measure.MIN_ISOTROPY:
                        continue  # plain areas and crop rows cannot be located in 2-D
                    off, ncc = measure.match_window(a, b, search)
                    self.assertIsNotNone(off, where)
                    self.assertGreater(ncc, 0.9, where)
                    # Tolerance: the photos are anti-aliased JPEG renders resampled once
                    # more, which scatters a window's offset by up to about 0.2 cell; a
                    # wrong sign or axis gives several cells.
                    self.assertLess(float(np.hypot(*off)), 0.25, where)
                    offsets.append(off)
                    ratio = back[r0:r0 + win, c0:c0 + win].mean((0, 1)) / ortho_lin[r0:r0 + win, c0:c0 + win].mean((0, 1))
                    np.testing.assert_allclose(ratio, 1.0, atol=0.04, err_msg=where)
                    checked += 1
        self.assertGreaterEqual(checked, 20)
        # The scatter averages out; a half-pixel slip in any convention would not.
        self.assertLess(float(np.hypot(*np.mean(offsets, axis=0))), 0.05)

    def test_utm_projection_agrees_with_proj(self):
        # The generator's own projection against PROJ, on both sides of a central
        # meridian and in both hemispheres; 1 mm is far below any GPS error modelled.
        for lat, lon in ((47.3, 10.2), (47.3, 7.1), (-33.9, 18.4), (0.2, -78.5), (64.1, -21.9)):
            zone = geodesy.utm_zone(lon)
            south = lat < 0
            e, n, _ = geodesy.utm_forward(lat, lon, zone, south)
            pe, pn = utm_of(lat, lon, geodesy.epsg_code(zone, south))
            self.assertLess(abs(e - pe) + abs(n - pn), 1e-3, (lat, lon))
            lat2, lon2 = geodesy.utm_inverse(e, n, zone, south)
            self.assertLess(abs(lat2 - lat) + abs(lon2 - lon), 1e-11, (lat, lon))

    def test_rotation_at_nadir_points_image_top_along_the_yaw(self):
        # Yaw 0: image right east, image down south, looking down; yaw 90: image top east.
        np.testing.assert_allclose(geodesy.rotation_from_angles(0, -90, 0),
                                   [[1, 0, 0], [0, -1, 0], [0, 0, -1]], atol=1e-12)
        top = -geodesy.rotation_from_angles(90, -90, 0)[1]
        np.testing.assert_allclose(top, [1, 0, 0], atol=1e-12)


class TruthTest(unittest.TestCase):
    def test_truth_rasters_cover_every_footprint(self):
        for name in ("exact", "noisy"):
            folder, truth = flight(name)
            origin = np.array([truth["utm"]["origin_e"], truth["utm"]["origin_n"]])
            for key in ("ortho", "dsm"):
                ds = gdal.Open(os.path.join(folder, truth[key]["file"]))
                srs = osr.SpatialReference(wkt=ds.GetProjection())
                srs.AutoIdentifyEPSG()
                self.assertEqual(int(srs.GetAuthorityCode(None)), truth["utm"]["epsg"])
                gt = ds.GetGeoTransform()
                east0, north1 = gt[0], gt[3]
                east1, north0 = east0 + ds.RasterXSize * gt[1], north1 + ds.RasterYSize * gt[5]
                for photo in truth["photos"]:
                    fp = np.array(photo["footprint"]) + origin
                    self.assertTrue((fp[:, 0] > east0).all() and (fp[:, 0] < east1).all(), (name, key))
                    self.assertTrue((fp[:, 1] > north0).all() and (fp[:, 1] < north1).all(), (name, key))

    def test_old_firmware_metadata_gives_the_true_focal_length(self):
        # Old firmware has only the whole-millimetre 35 mm equivalent; the generator snaps
        # the true focal length to it, but its lens distortion stays unrecorded.
        _, truth = flight("noisy")
        cam, meta = truth["camera"], truth["camera_from_metadata"]
        self.assertAlmostEqual(meta["fx"], cam["fx"], places=9)
        self.assertEqual((meta["cx"], meta["cy"]), ((cam["width"] - 1) / 2, (cam["height"] - 1) / 2))
        self.assertEqual(meta["kind"], "none")
        self.assertEqual(cam["kind"], "brown")

    def test_gps_noise_stays_within_its_model(self):
        # Standard GPS: metre-level horizontal error; RTK: centimetres.
        for name, limit in (("noisy", 8.0), ("rtk", 0.1)):
            _, truth = flight(name)
            epsg = truth["utm"]["epsg"]
            errs = []
            for photo in truth["photos"]:
                rec, true = photo["metadata_recorded"], photo["metadata_true"]
                e1, n1 = utm_of(rec["lat"], rec["lon"], epsg)
                e0, n0 = utm_of(true["lat"], true["lon"], epsg)
                errs.append(math.hypot(e1 - e0, n1 - n0))
            self.assertLess(max(errs), limit, name)
            self.assertGreater(max(errs), limit / 100, name)


def read_ppm16(data):
    """A binary 16-bit PPM as floats in 0..1 (h, w, 3)."""
    magic, size, top, pixels = data.split(b"\n", 3)
    w, h = (int(v) for v in size.split())
    return np.frombuffer(pixels, ">u2").reshape(h, w, 3) / float(top)


def dng_warp(x, y, warp, cam):
    """The DNG rectilinear warp, from ideal normalised coordinates to recorded pixels."""
    kr0, kr1, kr2, kr3, kt0, kt1, cxr, cyr = warp
    bx, by = cxr * (cam["width"] - 1), cyr * (cam["height"] - 1)
    m = math.hypot(max(bx, cam["width"] - 1 - bx), max(by, cam["height"] - 1 - by))
    qx, qy = (cam["fx"] * x + cam["cx"] - bx) / m, (cam["fy"] * y + cam["cy"] - by) / m
    r2 = qx * qx + qy * qy
    rad = ((kr3 * r2 + kr2) * r2 + kr1) * r2 + kr0
    return ((qx * rad + 2 * kt0 * qx * qy + kt1 * (r2 + 2 * qx * qx)) * m + bx,
            (qy * rad + kt0 * (r2 + 2 * qy * qy) + 2 * kt1 * qx * qy) * m + by)


class DngTest(unittest.TestCase):
    def test_raw_twin_develops_to_its_jpeg(self):
        # dcraw develops the mosaic with unit white balance and no colour matrix (the
        # camera space is linear sRGB): it must show the JPEG's picture, same place,
        # same light. Tolerances: bilinear demosaicking and 8-bit JPEG, 3 % and 0.25 px.
        if shutil.which("dcraw") is None:
            self.skipTest("dcraw missing")
        folder, truth = flight("dng")
        for photo in truth["photos"]:
            with self.subTest(photo=photo["dng"]):
                res = subprocess.run(["dcraw", "-c", "-4", "-o", "0", "-r", "1", "1", "1", "1", "-q", "0",
                                      os.path.join(folder, photo["dng"])], capture_output=True)
                self.assertEqual(res.returncode, 0, res.stderr)
                raw = read_ppm16(res.stdout)
                jpg = srgb_to_linear(np.asarray(Image.open(os.path.join(folder, photo["file"])), np.float64) / 255)
                self.assertEqual(raw.shape, jpg.shape)
                inner = (slice(4, -4), slice(4, -4))
                ratio = raw[inner].reshape(-1, 3).mean(0) / jpg[inner].reshape(-1, 3).mean(0)
                np.testing.assert_allclose(ratio, 1.0, atol=0.03)
                lum = lambda a: ndimage.gaussian_filter(a @ [0.2126, 0.7152, 0.0722], 0.7)  # noqa: E731
                lr, lj = lum(raw), lum(jpg)
                measured = 0
                for r0 in range(10, raw.shape[0] - 54, 40):
                    for c0 in range(10, raw.shape[1] - 54, 40):
                        a = lr[r0:r0 + 40, c0:c0 + 40]
                        if a.std() < 0.01 or measure.isotropy(a) < measure.MIN_ISOTROPY:
                            continue
                        off, ncc = measure.match_window(a, lj[r0 - 6:r0 + 46, c0 - 6:c0 + 46], 6)
                        self.assertIsNotNone(off, (r0, c0))
                        self.assertLess(float(np.hypot(*off)), 0.25, (r0, c0))
                        measured += 1
                self.assertGreaterEqual(measured, 5)

    def test_dng_opcodes_describe_the_true_lens(self):
        # The WarpRectilinear read from the file maps every direction where the photo's
        # Brown lens does, and FixVignetteRadial's gain undoes the light falloff.
        folder, truth = flight("dng")
        cam = truth["camera"]
        res = subprocess.run(["exiftool", "-b", "-OpcodeList3", os.path.join(folder, truth["photos"][0]["dng"])],
                             capture_output=True)
        data = res.stdout
        count = struct.unpack(">I", data[:4])[0]
        pos, ops = 4, {}
        for _ in range(count):
            code, _ver, _flags, n = struct.unpack(">IIII", data[pos:pos + 16])
            ops[code] = data[pos + 16:pos + 16 + n]
            pos += 16 + n
        planes = struct.unpack(">I", ops[1][:4])[0]
        self.assertEqual(planes, 1)
        warp = struct.unpack(">8d", ops[1][4:68])
        x, y = np.meshgrid(np.linspace(-0.9, 0.9, 13), np.linspace(-0.7, 0.7, 11))
        u_dng, v_dng = dng_warp(x, y, warp, cam)
        xd, yd = brown(x, y, cam["coeffs"])
        u, v = cam["fx"] * xd + cam["cx"], cam["fy"] * yd + cam["cy"]
        self.assertLess(float(np.max(np.hypot(u_dng - u, v_dng - v))), 1e-6)
        k = struct.unpack(">7d", ops[3])
        w, h = cam["width"], cam["height"]
        cx, cy = k[5] * (w - 1), k[6] * (h - 1)
        self.assertAlmostEqual(cx, cam["cx"], places=9)
        uu, vv = np.meshgrid(np.arange(0, w, 7.0), np.arange(0, h, 7.0))
        rmax = math.hypot(max(cx, w - 1 - cx), max(cy, h - 1 - cy))
        q = ((uu - cx) ** 2 + (vv - cy) ** 2) / rmax ** 2
        gain = ((((k[4] * q + k[3]) * q + k[2]) * q + k[1]) * q + k[0]) * q + 1
        falloff = 1 - truth["vignetting"]["a"] * ((uu - cam["cx"]) ** 2 + (vv - cam["cy"]) ** 2) / ((w / 2) ** 2 + (h / 2) ** 2)
        # The series is cut after five terms: 1e-4 at the corners for 20 % falloff.
        self.assertLess(float(np.max(np.abs(gain * falloff - 1))), 1e-4)
        self.assertEqual(truth["camera_from_dng"]["kind"], "dngwarp")
        np.testing.assert_allclose(truth["camera_from_dng"]["coeffs"], warp[:6])


class DeterminismTest(unittest.TestCase):
    def digest(self, folder):
        out = {}
        for p in sorted(glob.glob(os.path.join(folder, "**", "*"), recursive=True)):
            if os.path.isfile(p):
                with open(p, "rb") as f:
                    out[os.path.relpath(p, folder)] = hashlib.sha256(f.read()).hexdigest()
        return out

    def test_same_seed_gives_the_same_files(self):
        args = RTK_ARGS
        a, _ = flight("rtk")
        b, c = (os.path.join(_tmp.name, n) for n in ("seed_b", "seed_c"))
        fc.generate(b, args[:-1] + ["2"])  # another worker count must not matter
        fc.generate(c, ["--seed", "4"] + args[2:])
        da, db, dc = self.digest(a), self.digest(b), self.digest(c)
        self.assertEqual(da, db)
        self.assertEqual(set(da), set(dc))
        self.assertNotEqual(da["DJI_0001.JPG"], dc["DJI_0001.JPG"])
        self.assertNotEqual(da["truth.json"], dc["truth.json"])


class OutputFolderTest(unittest.TestCase):
    def test_earlier_flight_is_replaced_without_stale_photos(self):
        src, _ = flight("rtk")
        out = os.path.join(_tmp.name, "again")
        shutil.copytree(src, out)
        fc.generate(out, ["--photos", "1", "--legs", "1"] + RTK_ARGS[6:])
        self.assertEqual(sorted(os.listdir(out)), ["DJI_0001.JPG", "truth", "truth.json"])
        with open(os.path.join(out, "truth.json"), encoding="utf-8") as f:
            self.assertEqual(len(json.load(f)["photos"]), 1)

    def test_folder_with_other_files_is_left_alone(self):
        out = os.path.join(_tmp.name, "real_photos")
        os.makedirs(out)
        with open(os.path.join(out, "DJI_0001.JPG"), "wb") as f:
            f.write(b"a real photo")
        res = fc.run_tool(fc.GENERATE, [out] + RTK_ARGS)
        self.assertEqual(res.returncode, 1)
        self.assertIn("is not empty", res.stderr)
        self.assertEqual(os.listdir(out), ["DJI_0001.JPG"])


class ArgumentsTest(unittest.TestCase):
    def test_bad_options_are_refused_by_name(self):
        cases = [(["--photos", "0"], "--photos"), (["--vignetting", "0.95"], "--vignetting"),
                 (["--supersample", "9"], "--supersample"), (["--gps", "perfect"], "--gps")]
        for args, word in cases:
            with self.subTest(args=args):
                res = fc.run_tool(fc.GENERATE, [os.path.join(_tmp.name, "bad")] + args)
                self.assertEqual(res.returncode, 2)
                self.assertIn(word, res.stderr)


if __name__ == "__main__":
    unittest.main()
