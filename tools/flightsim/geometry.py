#!/usr/bin/python3
"""Measures where an orthomosaic puts the ground, from the build's geometry alone.

    /usr/bin/python3 tools/flightsim/geometry.py MOSAIC.tif FLIGHT_DIR [--json FILE]

MOSAIC.tif is a build's output (its report, terrain archive and seam archive are read
from beside it; the mosaic's pixels are not); FLIGHT_DIR is the generator's output
folder (or its truth.json). For a grid of mosaic places it follows the build's own
geometry into the photo the mosaic takes there, and the true ray of that photo pixel
into the true scene: the difference is the place whose content the mosaic shows, minus
where it shows it. Exit code 0 when measured, 1 when an input is missing or unusable,
2 for bad arguments.
"""
import argparse
import json
import math
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import generate  # noqa: E402
from evaluate import InputError, load_truth  # noqa: E402
from fsim import camera as camlib  # noqa: E402
from fsim import geodesy, geotiff  # noqa: E402
from fsim import render as rd  # noqa: E402
from fsim import scene as sc  # noqa: E402

MAX_POINTS = 40000
RAISED_M = 0.5      # top surface this far above the bare terrain: a roof or a crown
CLEAR_M = 0.05      # smooth ground: the top surface within CLEAR_RADIUS_M stays this close to it
CLEAR_RADIUS_M = 2.0
SELFCAL_STEPS = 10  # fixed-point steps undoing the self-calibration, as the program takes


# ---------------------------------------------------------------- the build

def _read_npz(path, names, what):
    try:
        with np.load(path, allow_pickle=False) as z:
            return {k: z[k] for k in names}
    except (OSError, ValueError, KeyError) as e:
        raise InputError("%s %s cannot be read: %s" % (what, path, e))


def _side_file(report_path, named, suffix):
    """A side file as the report names it, else the one beside the report."""
    if named and os.path.isfile(named):
        return named
    beside = report_path[: -len("_report.json")] + suffix
    return beside if os.path.isfile(beside) else None


def load_build(mosaic):
    """The geometry of a build: poses, lens, surface and seams, in UTM metres and the
    build's heights (relative to take-off)."""
    report_path = mosaic if mosaic.endswith("_report.json") else os.path.splitext(mosaic)[0] + "_report.json"
    if not os.path.isfile(report_path):
        raise InputError("no build report %s" % report_path)
    try:
        with open(report_path, encoding="utf-8") as f:
            rep = json.load(f)
        lens = rep["lens"]
        shots = rep["shots"]
        b = dict(report=report_path, epsg=int(rep["epsg"]), gsd=float(rep["gsd_m"]),
                 origin=(float(rep["origin_utm"][0]), float(rep["origin_utm"][1])),
                 size=(int(rep["size_px"][0]), int(rep["size_px"][1])),
                 files=[s["file"] for s in shots],
                 C=np.array([[s["E"], s["N"], s["h"]] for s in shots], np.float64),
                 R=np.array([s["R"] for s in shots], np.float64),
                 lens=dict(W=int(lens["W"]), H=int(lens["H"]), fx=float(lens["fx"]), fy=float(lens["fy"]),
                           cx=float(lens["cx"]), cy=float(lens["cy"]), kind=lens["kind"],
                           k=[float(v) for v in lens["k"]], selfcal=[float(v) for v in lens["selfcal"]]),
                 surface=rep["surface"], ground_z=float(rep["ground_z"]))
        selfcal_keys = len(rep.get("selfcal") or {})
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as e:
        raise InputError("build report %s cannot be read: %s" % (report_path, e))
    except (KeyError, TypeError, ValueError, IndexError) as e:
        raise InputError("build report %s lacks a field or has a bad value: %s" % (report_path, e))
    if b["lens"]["kind"] not in ("none", "brown"):
        raise InputError("build report %s: lens kind %s not supported" % (report_path, b["lens"]["kind"]))
    if selfcal_keys > 1:
        raise InputError("build report %s has %d cameras; one expected" % (report_path, selfcal_keys))
    if len(b["lens"]["selfcal"]) not in (0, 2, 6):
        raise InputError("build report %s: %d self-calibration terms" % (report_path, len(b["lens"]["selfcal"])))

    if b["surface"].get("kind") == "dsm":
        path = _side_file(report_path, rep.get("surface_file"), "_surface.npz")
        if path is None:
            raise InputError("build report %s names a terrain model but its file is missing" % report_path)
        z = _read_npz(path, ("z0", "E0", "N0", "cell", "Z"), "terrain archive")
        b["grid"] = dict(E0=float(z["E0"]), N0=float(z["N0"]), cell=float(z["cell"]),
                         Z=np.asarray(z["Z"], np.float64))
        if b["grid"]["Z"].ndim != 2 or min(b["grid"]["Z"].shape) < 2:
            raise InputError("terrain archive %s: height grid of shape %s" % (path, b["grid"]["Z"].shape))
    else:
        b["plane_z"] = float(b["surface"].get("z0", b["ground_z"]))
    path = _side_file(report_path, rep.get("seam_file"), "_seams.npz")
    if path is not None:
        z = _read_npz(path, ("label", "E0", "N0", "gs", "files"), "seam archive")
        index = {name: i for i, name in enumerate(b["files"])}
        try:
            to_shot = np.array([index[str(n)] for n in z["files"]] + [-1], np.int64)
        except KeyError as e:
            raise InputError("seam archive %s names photo %s that the report lacks" % (path, e))
        label = np.asarray(z["label"], np.int64)
        if label.max(initial=-1) >= len(z["files"]):
            raise InputError("seam archive %s labels a photo it does not name" % path)
        b["seams"] = dict(label=np.where(label >= 0, to_shot[label], -1), E0=float(z["E0"]),
                          N0=float(z["N0"]), gs=float(z["gs"]))
    return b


def surface_height(b, east, north):
    """The build's ground height at UTM points: bilinear on its terrain grid with the edge
    nodes holding outside, or its plane."""
    if "grid" not in b:
        return np.full(np.shape(east), b["plane_z"])
    g = b["grid"]
    ny, nx = g["Z"].shape
    gx = np.clip((east - g["E0"]) / g["cell"], 0.0, nx - 1.0001)
    gy = np.clip((g["N0"] - north) / g["cell"], 0.0, ny - 1.0001)
    i, j = gx.astype(np.int64), gy.astype(np.int64)
    fx, fy = gx - i, gy - j
    Z = g["Z"]
    return ((1 - fy) * (Z[j, i + 1] * fx + Z[j, i] * (1 - fx))
            + fy * (Z[j + 1, i + 1] * fx + Z[j + 1, i] * (1 - fx)))


def selfcal_distort(x, y, terms):
    if not any(t != 0 for t in terms):
        return x, y
    k1, k2 = terms[0], terms[1]
    r2 = x * x + y * y
    s = (k2 * r2 + k1) * r2 + 1.0
    if len(terms) == 2:
        return x * s, y * s
    dx, dy, p1, p2 = terms[2:6]
    return (x * s + p2 * (2 * x * x + r2) + 2 * p1 * x * y + dx,
            y * s + 2 * p2 * x * y + p1 * (2 * y * y + r2) + dy)


def project(lens, x, y):
    """Normalised directions to pixels as the program projects: the self-calibration
    undone by fixed-point steps, then the lens."""
    terms = lens["selfcal"]
    if any(t != 0 for t in terms):
        zx, zy = x.copy(), y.copy()
        for _ in range(SELFCAL_STEPS):
            sx, sy = selfcal_distort(zx, zy, terms)
            zx, zy = zx + (x - sx), zy + (y - sy)
        x, y = zx, zy
    cam = camlib.Camera(width=lens["W"], height=lens["H"], fx=lens["fx"], fy=lens["fy"], cx=lens["cx"],
                        cy=lens["cy"], coeffs=lens["k"] if lens["kind"] == "brown" else [0.0] * 5)
    return camlib.project(cam, x, y)


def to_photo(b, i, east, north, z):
    """Pixels (u, v) at which photo i of the build sees the points, and whether it does."""
    R, C = b["R"][i], b["C"][i]
    d = np.stack([east - C[0], north - C[1], z - C[2]])
    c = R @ d
    ahead = c[2] > 1e-6
    depth = np.where(ahead, c[2], 1.0)
    u, v = project(b["lens"], c[0] / depth, c[1] / depth)
    inside = ahead & (u >= -0.5) & (u <= b["lens"]["W"] - 0.5) & (v >= -0.5) & (v <= b["lens"]["H"] - 0.5)
    return u, v, inside & np.isfinite(u) & np.isfinite(v)


def mosaic_points(b, max_points):
    """Mosaic places (UTM east, north) to measure, and the photo the mosaic takes at each:
    the seam cells' centres inside the raster with their labels, thinned to at most
    max_points on a regular stride; without a seam file, the output grid's and for each
    place the photo that sees it nearest its centre."""
    e_min, n_max = b["origin"]
    e_max, n_min = e_min + b["size"][0] * b["gsd"], n_max - b["size"][1] * b["gsd"]
    if "seams" in b:
        s = b["seams"]
        ny, nx = s["label"].shape
        cols = s["E0"] + (np.arange(nx) + 0.5) * s["gs"]
        rows = s["N0"] - (np.arange(ny) + 0.5) * s["gs"]
        keep_c = (cols > e_min) & (cols < e_max)
        keep_r = (rows > n_min) & (rows < n_max)
        label = s["label"][np.ix_(keep_r, keep_c)]
        cols, rows = cols[keep_c], rows[keep_r]
    else:
        step = max(b["gsd"], math.sqrt((e_max - e_min) * (n_max - n_min) / max_points))
        cols = np.arange(e_min + step / 2, e_max, step)
        rows = np.arange(n_max - step / 2, n_min, -step)
        label = None
    stride = max(1, int(math.ceil(math.sqrt(cols.size * rows.size / max_points))))
    cols, rows = cols[::stride], rows[::stride]
    ee, nn = np.meshgrid(cols, rows)
    ee, nn = ee.ravel(), nn.ravel()
    if label is not None:
        shot = label[::stride, ::stride].ravel()
    else:
        z = surface_height(b, ee, nn)
        shot = np.full(ee.size, -1, np.int64)
        best = np.full(ee.size, np.inf)
        for i in range(len(b["files"])):
            u, v, ok = to_photo(b, i, ee, nn, z)
            r2 = ((u - b["lens"]["cx"]) / b["lens"]["fx"]) ** 2 + ((v - b["lens"]["cy"]) / b["lens"]["fy"]) ** 2
            better = ok & (r2 < best)
            shot[better], best[better] = i, r2[better]
    keep = shot >= 0
    return ee[keep], nn[keep], shot[keep]


# ---------------------------------------------------------------- the truth

class Truth:
    """The flight's true cameras and scene geometry, remade from its generator options."""

    def __init__(self, folder):
        self.truth, _, self.epsg, _ = load_truth(folder)
        t = self.truth
        try:
            self.scene, (self.oe, self.on), _ = generate.rebuild_scene(t)
            c = t["camera"]
            self.cam = camlib.Camera(width=int(c["width"]), height=int(c["height"]), fx=float(c["fx"]),
                                     fy=float(c["fy"]), cx=float(c["cx"]), cy=float(c["cy"]),
                                     coeffs=[float(v) for v in c["coeffs"]])
            self.files = [p["file"] for p in t["photos"]]
            self.C = np.array([p["position_utm"] for p in t["photos"]], np.float64)
            self.R = np.array([p["rotation"] for p in t["photos"]], np.float64)
            rec = [p["metadata_recorded"] for p in t["photos"]]
            zone, south = int(t["utm"]["zone"]), bool(t["utm"]["south"])
            self.recorded = np.array([geodesy.utm_forward(m["lat"], m["lon"], zone, south)[:2] + (m["rel_alt"],)
                                      for m in rec], np.float64)
        except (KeyError, TypeError, ValueError, IndexError) as e:
            raise InputError("truth of %s lacks a field or has a bad value: %s" % (folder, e))
        except SystemExit:
            raise InputError("truth of %s holds generator options this generator does not take" % folder)
        self.geometry = rd.SceneGeometry(self.scene)
        self._check_dsm(folder)

    def _check_dsm(self, folder):
        """The remade scene must be the one the flight was made from: its top surface
        equals the flight's DSM raster at a sample of its cells."""
        path = os.path.join(folder if os.path.isdir(folder) else os.path.dirname(folder), self.truth["dsm"]["file"])
        try:
            r = geotiff.read(path, "truth DSM")
        except ValueError as e:
            raise InputError(str(e))
        z = r.bands[:, :, 0].astype(np.float64)
        h, w = z.shape
        rng = np.random.default_rng(0)
        ri, ci = rng.integers(0, h, 2000), rng.integers(0, w, 2000)
        east = r.transform[0] + (ci + 0.5) * r.gsd - self.oe
        north = r.transform[3] - (ri + 0.5) * r.gsd - self.on
        worst = float(np.max(np.abs(sc.dsm_at(self.scene, east, north) - z[ri, ci])))
        if not worst < 1e-3:
            raise InputError("the scene remade from %s differs from its DSM by %.3f m: generator changed?"
                             % (path, worst))

    def top(self, east, north):
        return sc.dsm_at(self.scene, east - self.oe, north - self.on)

    def on_roof(self, east, north):
        """Places whose top surface is a building's roof (no crown above it)."""
        e, n = east - self.oe, north - self.on
        b = self.scene.buildings
        roof = np.full(np.shape(e), -np.inf)
        for i in range(len(b.get("ce", []))):
            roof = np.where(sc.in_building(b, i, e, n), np.maximum(roof, b["z1"][i]), roof)
        return np.isfinite(roof) & (np.abs(sc.dsm_at(self.scene, e, n) - roof) < 1e-6)

    def terrain(self, east, north):
        return sc.height_at(self.scene, east - self.oe, north - self.on).astype(np.float64)

    def hits(self, j, u, v):
        """UTM places (east, north, height) that true photo j shows at pixels (u, v)."""
        x, y = camlib.unproject(self.cam, u, v)
        C = self.C[j] - np.array([self.oe, self.on, 0.0])
        e, n, z = self.geometry.first_hits(C, self.R[j], x, y)
        return e.astype(np.float64) + self.oe, n.astype(np.float64) + self.on, z.astype(np.float64)


# ---------------------------------------------------------------- figures

def fit_similarity(src, dst):
    """Least-squares similarity dst ~ s Q src + t (Umeyama), for points of any dimension:
    (s, Q, t)."""
    ms, md = src.mean(axis=0), dst.mean(axis=0)
    a, b = src - ms, dst - md
    U, S, Vt = np.linalg.svd(b.T @ a / len(src))
    D = np.eye(src.shape[1])
    if np.linalg.det(U) * np.linalg.det(Vt) < 0:
        D[-1, -1] = -1
    Q = U @ D @ Vt
    var = (a ** 2).sum() / len(src)
    s = float(np.trace(np.diag(S) @ D) / var) if var > 0 else 1.0
    return s, Q, md - s * Q @ ms


def rotation_angle(Q):
    return math.degrees(math.acos(max(-1.0, min(1.0, (np.trace(Q) - 1.0) / 2.0))))


def camera_fit(true_c, c):
    """How camera positions c follow the true ones: the 3-D similarity between them and
    what it leaves."""
    s, Q, t = fit_similarity(true_c, c)
    res = c - (s * true_c @ Q.T + t)
    return dict(scale_ppm=(s - 1.0) * 1e6, rotation_deg=rotation_angle(Q),
                rms_horizontal_m=float(np.sqrt(np.mean(res[:, 0] ** 2 + res[:, 1] ** 2))),
                rms_vertical_m=float(np.sqrt(np.mean(res[:, 2] ** 2))))


def spread(err):
    """RMS, median and 95th percentile of the lengths of 2-D errors."""
    if len(err) == 0:
        return dict(n=0, rms_m=None, median_m=None, p95_m=None)
    d = np.hypot(err[:, 0], err[:, 1])
    return dict(n=int(len(d)), rms_m=float(np.sqrt(np.mean(d * d))), median_m=float(np.median(d)),
                p95_m=float(np.percentile(d, 95)))


def classes(truth, east, north, shown_z):
    """Masks of smooth ground, raised ground and roofs. Smooth: no roof or crown within
    CLEAR_RADIUS_M of the place, and the photo shows the bare terrain there (not a crown
    or roof standing between it and the place). Raised: the true top surface at the
    place is a roof or crown, RAISED_M or more above the bare terrain. Roofs: raised
    places whose top is a building's roof."""
    above = truth.top(east, north) - truth.terrain(east, north)
    clear = above < CLEAR_M
    for a in np.arange(8) * (math.pi / 4):
        de, dn = CLEAR_RADIUS_M * math.cos(a), CLEAR_RADIUS_M * math.sin(a)
        clear &= truth.top(east + de, north + dn) - truth.terrain(east + de, north + dn) < CLEAR_M
    raised = above >= RAISED_M
    return clear & (shown_z - truth.terrain(east, north) < CLEAR_M), raised, raised & truth.on_roof(east, north)


def measure(build, truth, max_points=MAX_POINTS, dump=None):
    """The figures of one build against the truth (dict, metres). With `dump`, a NumPy
    archive of that name receives every place: its UTM east and north, photo, error, error
    after the similarity, the build's and the true height, and its class."""
    if build["epsg"] != truth.epsg:
        raise InputError("the build is in EPSG %d, the flight in EPSG %d" % (build["epsg"], truth.epsg))
    index = {f: j for j, f in enumerate(truth.files)}
    missing = [f for f in build["files"] if f not in index]
    if missing:
        raise InputError("the flight has no photo %s" % missing[0])
    east, north, shot = mosaic_points(build, max_points)
    z_ours = surface_height(build, east, north)
    z_top = truth.top(east, north)
    # The build's heights follow the recorded altitudes, whose common error is no fault of
    # the build: true heights enter its frame shifted by the mean height of its cameras over
    # the true ones.
    lift = float(np.mean(build["C"][:, 2] - truth.C[[index[f] for f in build["files"]], 2]))
    place = np.full((east.size, 2), np.nan)
    shown_z = np.full(east.size, np.nan)  # height of what the photo shows
    shown_true_z = np.full(east.size, np.nan)  # the same, projecting at the true height
    place_true_z = np.full((east.size, 2), np.nan)  # with the true heights under our poses
    for i in np.unique(shot):
        sel = np.flatnonzero(shot == i)
        j = index[build["files"][i]]
        for col, z in ((place, z_ours[sel]), (place_true_z, z_top[sel] + lift)):
            u, v, ok = to_photo(build, i, east[sel], north[sel], z)
            if ok.any():
                he, hn, hz = truth.hits(j, u[ok], v[ok])
                col[sel[ok], 0], col[sel[ok], 1] = he, hn
                (shown_z if col is place else shown_true_z)[sel[ok]] = hz
    seen = np.isfinite(place[:, 0])
    pts = np.stack([east, north], axis=1)
    smooth, raised, roofs = classes(truth, east, north, shown_z)
    err = place - pts
    # The shift and the similarity come from smooth ground, where no height is in doubt;
    # the other classes are measured after the same ones.
    base = seen & smooth if (seen & smooth).sum() >= 10 else seen
    if base.sum() < 3:
        raise InputError("the build's mosaic and the flight share fewer than 3 measurable places")
    shift = err[base].mean(axis=0)
    s, Q, t = fit_similarity(pts[base], place[base])
    after_sim = place - (s * pts @ Q.T + t)

    # GNSS floor: a block with perfect internal geometry, placed by the similarity that
    # best carries the true camera positions onto the recorded ones.
    gs, gQ, gt = fit_similarity(truth.C, truth.recorded)
    p3 = np.stack([east, north, z_top], axis=1)
    floor = (gs * p3 @ gQ.T + gt - p3)[:, :2]
    floor_shift = floor[base].mean(axis=0)

    dz = z_ours - (z_top + lift)
    # With the true heights, a place the photo does not see (a crown or roof in front of
    # it) measures the occlusion, not the poses: such places are left out of these figures.
    true_z_err = np.where((np.abs(shown_true_z - z_top) < RAISED_M)[:, None], place_true_z - pts, np.nan)
    base_t = base & np.isfinite(true_z_err[:, 0])
    if base_t.sum() >= 3:
        true_z_shift = true_z_err[base_t].mean(axis=0)
        ts, tQ, tt = fit_similarity(pts[base_t], pts[base_t] + true_z_err[base_t])
        true_z_sim = pts + true_z_err - (ts * pts @ tQ.T + tt)
    else:
        true_z_err[:] = np.nan
        true_z_shift, true_z_sim = np.zeros(2), true_z_err

    if dump:
        np.savez(dump, east=east, north=north, shot=shot, err=err, after_similarity=after_sim,
                 err_true_heights=true_z_err, after_similarity_true_heights=true_z_sim, z_build=z_ours,
                 z_true=z_top, smooth=smooth, raised=raised, files=np.array(build["files"]))

    def group(mask):
        m = mask & seen
        mt = mask & np.isfinite(true_z_err[:, 0])
        return dict(n=int(m.sum()), after_shift=spread(err[m] - shift), after_similarity=spread(after_sim[m]),
                    gnss_floor=spread(floor[mask] - floor_shift),
                    with_true_heights_after_shift=spread(true_z_err[mt] - true_z_shift),
                    with_true_heights_after_similarity=spread(true_z_sim[mt]),
                    height_error_rms_m=float(np.sqrt(np.mean(dz[mask] ** 2))) if mask.any() else None)

    return dict(
        cameras=dict(build=camera_fit(truth.C[[index[f] for f in build["files"]]], build["C"]),
                     recorded=camera_fit(truth.C, truth.recorded),
                     rotation_error_deg=float(np.median([rotation_angle(build["R"][i] @ truth.R[index[f]].T)
                                                         for i, f in enumerate(build["files"])]))),
        gsd_m=build["gsd"], height_lift_m=lift, points=int(seen.sum()), points_unseen=int((~seen).sum()),
        shift_m=[float(shift[0]), float(shift[1])],
        similarity=dict(scale=s, rotation_deg=math.degrees(math.atan2(Q[1, 0], Q[0, 0]))),
        gnss_similarity=dict(scale=gs, rotation_deg=math.degrees(math.atan2(gQ[1, 0], gQ[0, 0]))),
        all=group(np.ones(east.size, bool)), smooth=group(smooth), raised=group(raised),
        roofs=group(roofs))


def _f(v, gsd):
    return "   -   " if v is None else "%.3f m %5.2f GSD" % (v, v / gsd)


def print_figures(r):
    g = r["gsd_m"]
    print("points: %d measured, %d outside their photo; GSD %.4f m" % (r["points"], r["points_unseen"], g))
    print("shift (mean, smooth ground): east %+.3f m, north %+.3f m" % tuple(r["shift_m"]))
    print("similarity: scale %+.1f ppm, rotation %+.4f deg" % ((r["similarity"]["scale"] - 1) * 1e6,
                                                             r["similarity"]["rotation_deg"]))
    for key, label in (("build", "build"), ("recorded", "recorded")):
        c = r["cameras"][key]
        print("cameras, true -> %-9s scale %+.0f ppm, rotation %.4f deg, then RMS %.3f m horizontal, %.3f m "
              "vertical" % (label + ":", c["scale_ppm"], c["rotation_deg"], c["rms_horizontal_m"],
                            c["rms_vertical_m"]))
    print("camera rotations: median error %.3f deg" % r["cameras"]["rotation_error_deg"])
    for name in ("all", "smooth", "raised", "roofs"):
        c = r[name]
        print("%s (%d):" % (name, c["n"]))
        for key, label in (("after_shift", "after shift"), ("after_similarity", "after similarity"),
                           ("gnss_floor", "GNSS floor"),
                           ("with_true_heights_after_shift", "true heights, after shift"),
                           ("with_true_heights_after_similarity", "true heights, after similarity")):
            s = c[key]
            print("  %-26s RMS %s  median %s" % (label, _f(s["rms_m"], g), _f(s["median_m"], g)))
        if c["height_error_rms_m"] is not None:
            print("  %-26s RMS %.3f m" % ("terrain model height", c["height_error_rms_m"]))


def main(argv=None):
    p = argparse.ArgumentParser(description="Geometric accuracy of an orthomosaic against a flight's truth, "
                                            "from the build's report, terrain and seam files.")
    p.add_argument("mosaic", help="the build's output GeoTIFF (or its _report.json)")
    p.add_argument("flight", help="the generator's output folder or its truth.json")
    p.add_argument("--json", help="also write the figures to this file")
    p.add_argument("--points", type=int, default=MAX_POINTS, help="mosaic places to measure, at most")
    p.add_argument("--dump", help="write every measured place to this NumPy archive (.npz)")
    a = p.parse_args(argv)
    try:
        r = measure(load_build(a.mosaic), Truth(a.flight), max(a.points, 10), a.dump)
    except InputError as e:
        print("error: %s" % e, file=sys.stderr)
        return 1
    print_figures(r)
    if a.json:
        with open(a.json, "w", encoding="utf-8") as f:
            json.dump(r, f, indent=1)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
