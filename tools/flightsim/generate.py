#!/usr/bin/python3
"""Generates a synthetic drone mapping flight with known truth.

    /usr/bin/python3 tools/flightsim/generate.py OUT_DIR [options]

OUT_DIR receives the photos (DJI_0001.JPG ...), truth.json beside them and, in
OUT_DIR/truth/, the true orthophoto and DSM as GeoTIFFs. The same options and seed give
the same files.
"""
import argparse
import json
import math
import multiprocessing as mp
import os
import shutil
import sys
import tempfile
import time

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fsim import camera as camlib  # noqa: E402
from fsim import flight as fl  # noqa: E402
from fsim import dng, geodesy, geotiff, metadata  # noqa: E402
from fsim import render as rd  # noqa: E402
from fsim import scene as sc  # noqa: E402

TRUTH_FORMAT = "tessaly-flightsim-truth"
TRUTH_VERSION = 1

# Texture cells at most: 8 bytes each in memory, plus the label map (4 bytes each).
MAX_TEXELS = 120_000_000

# State shared with forked workers (set before the pool starts, read-only afterwards
# except the texture buffer, which the texture bands fill in disjoint rows).
_W = {}


class UserError(Exception):
    """A request the generator cannot carry out; its text says why."""


def parse_args(argv):
    d = fl.FlightOptions()
    p = argparse.ArgumentParser(description="Synthetic drone mapping flight with known truth.")
    p.add_argument("out", help="output folder: new, empty, or holding an earlier generated flight (replaced)")
    p.add_argument("--seed", type=int, default=1)
    g = p.add_argument_group("flight")
    g.add_argument("--photos", type=int, default=d.photos)
    g.add_argument("--legs", type=int, default=d.legs)
    g.add_argument("--altitude", type=float, default=d.altitude_m, help="metres above take-off")
    g.add_argument("--forward-overlap", type=float, default=d.forward_overlap)
    g.add_argument("--side-overlap", type=float, default=d.side_overlap)
    g.add_argument("--heading", type=float, default=d.heading_deg, help="first leg, degrees from grid north")
    g.add_argument("--lat", type=float, default=d.lat)
    g.add_argument("--lon", type=float, default=d.lon)
    g.add_argument("--gps", choices=sorted(fl.GPS_MODELS), default=d.gps,
                   help="position error: standard (metre level), rtk (centimetres) or none")
    g.add_argument("--attitude-jitter", type=float, default=d.attitude_jitter_deg,
                   help="true attitude scatter about nadir and the leg heading, degrees (1 sigma)")
    g.add_argument("--attitude-noise", type=float, default=d.attitude_noise_deg,
                   help="error of the recorded gimbal angles, degrees (1 sigma)")
    g.add_argument("--path-jitter", type=float, default=d.path_jitter_m,
                   help="true deviation from the planned stations, metres (1 sigma)")
    g.add_argument("--start-time", default=d.start_time)
    g = p.add_argument_group("camera")
    g.add_argument("--width", type=int, default=d.width)
    g.add_argument("--height", type=int, default=d.height)
    g.add_argument("--focal-mm", type=float, default=d.focal_mm)
    g.add_argument("--sensor-width-mm", type=float, default=d.sensor_width_mm)
    g.add_argument("--model", default=d.model)
    g.add_argument("--distortion", type=float, default=d.distortion,
                   help="scale of the default lens distortion and principal point offset (0: none)")
    g.add_argument("--vignetting", type=float, default=d.vignetting, help="light falloff at the corners (0..0.9)")
    g.add_argument("--exposure-ev", type=float, default=d.exposure_ev,
                   help="exposure change between photos, stops (1 sigma)")
    g.add_argument("--xmp-style", choices=("new", "old"), default=d.xmp_style,
                   help="new: calibrated focal length, DewarpData and XMP position; old: angles and altitudes only")
    g.add_argument("--quality", type=int, default=92, help="JPEG quality of the photos")
    g.add_argument("--dng", type=int, choices=(0, 1), default=0,
                   help="1: also write each shot as a raw DNG beside its JPEG (12-bit Bayer mosaic, the lens "
                        "warp and vignetting as DNG opcodes)")
    g = p.add_argument_group("scene")
    g.add_argument("--terrain", choices=("flat", "hills", "slope"), default="hills")
    g.add_argument("--relief", type=float, default=6.0, help="height range of the hills, metres")
    g.add_argument("--slope", type=float, default=8.0, help="gradient of the slope terrain, percent")
    g.add_argument("--buildings", type=int, default=-1, help="number of buildings (default: by area)")
    g.add_argument("--trees", type=int, default=-1, help="number of trees (default: by area)")
    g = p.add_argument_group("output")
    g.add_argument("--ortho-gsd", type=float, default=0.0, help="truth orthophoto cell, metres (default: photo GSD)")
    g.add_argument("--dsm-gsd", type=float, default=0.25, help="truth DSM cell, metres")
    g.add_argument("--ortho-jpeg", type=int, default=0,
                   help="store the truth orthophoto with this JPEG quality instead of lossless (for small samples)")
    g.add_argument("--texels", type=int, default=2, help="texture cells per orthophoto cell and axis")
    g.add_argument("--supersample", type=int, default=2, help="sub-samples per photo pixel and axis")
    g.add_argument("--jobs", type=int, default=min(4, os.cpu_count() or 1))
    a = p.parse_args(argv)
    checks = [(a.photos >= 1, "--photos must be at least 1"), (a.legs >= 1, "--legs must be at least 1"),
              (a.width >= 16 and a.height >= 16, "--width and --height must be at least 16"),
              (a.altitude > 5, "--altitude must be above 5 m"),
              (0 <= a.forward_overlap < 0.95 and 0 <= a.side_overlap < 0.95, "overlaps must lie in [0, 0.95)"),
              (a.focal_mm > 0 and a.sensor_width_mm > 0, "--focal-mm and --sensor-width-mm must be positive"),
              (0 <= a.vignetting < 0.9, "--vignetting must lie in [0, 0.9)"),
              (abs(a.lat) < 80 and abs(a.lon) < 180, "--lat must lie within 80 degrees, --lon within 180"),
              (1 <= a.supersample <= 4, "--supersample must lie in 1..4"), (1 <= a.texels <= 4, "--texels must lie in 1..4"),
              (0 <= a.ortho_jpeg <= 100, "--ortho-jpeg must lie in 0..100"),
              (a.dsm_gsd > 0 and a.ortho_gsd >= 0, "--dsm-gsd must be positive"),
              (a.jobs >= 1, "--jobs must be at least 1"), (1 <= a.quality <= 100, "--quality must lie in 1..100"),
              (abs(a.distortion) <= 3, "--distortion must lie within 3"),
              (0 <= a.slope <= 40 and 0 <= a.relief <= 40, "--slope (percent) and --relief (m) must lie in 0..40")]
    for ok, msg in checks:
        if not ok:
            p.error(msg)
    return a


def flight_options(a):
    return fl.FlightOptions(
        photos=a.photos, legs=a.legs, width=a.width, height=a.height, altitude_m=a.altitude,
        forward_overlap=a.forward_overlap, side_overlap=a.side_overlap, focal_mm=a.focal_mm,
        sensor_width_mm=a.sensor_width_mm, heading_deg=a.heading, lat=a.lat, lon=a.lon, gps=a.gps,
        attitude_jitter_deg=a.attitude_jitter, attitude_noise_deg=a.attitude_noise, path_jitter_m=a.path_jitter,
        exposure_ev=a.exposure_ev, distortion=a.distortion, vignetting=a.vignetting, xmp_style=a.xmp_style,
        start_time=a.start_time, model=a.model)


def _texture_band(rows):
    r0, r1 = rows
    packed = _W["texjob"].band(r0, r1)
    _W["texture"][r0:r1] = packed
    # The true orthophoto: blocks of k x k texels averaged in linear light.
    k = _W["texels"]
    ow = packed.shape[1] // k
    lin = sc.unpack_texels(packed).reshape((r1 - r0) // k, k, ow, k, 3).mean(axis=(1, 3))
    _W["ortho"][r0 // k:r1 // k] = np.rint(sc.linear_to_srgb(lin) * 255).astype(np.uint8)


def _render_photo(i):
    job = _W["photos"][i]
    r = _W["renderer"]
    linear = r.render_linear(job["C"], job["R"], job["gain"])
    Image.fromarray(r.to_srgb8(linear)).save(job["path"], quality=_W["quality"], subsampling=1)
    if job["dng"]:
        dng.write(job["dng"], linear, r.cam, r.vignetting, _W["model"])


def _run(pool, fn, items):
    if pool is None:
        for it in items:
            fn(it)
    else:
        pool.map(fn, items, chunksize=1)


def scene_extent(border, poses, z_low, cell):
    """Bounding box (east0, north0, east1, north1) of everything a photo can see, with the
    terrain no lower than z_low, snapped outward to the cell grid. `border` holds the
    normalised rays of the image border."""
    pts = []
    for p in poses:
        C = np.array(p["position"])
        R = geodesy.rotation_from_angles(p["yaw"], p["pitch"], p["roll"])
        x, y = border
        d = R.T @ np.vstack([x, y, np.ones_like(x)])
        t = (z_low - C[2]) / d[2]
        pts.append(C[:2, None] + t * d[:2])
    pts = np.hstack(pts)
    margin = 4.0
    e0, n0 = pts.min(axis=1) - margin
    e1, n1 = pts.max(axis=1) + margin
    return (math.floor(e0 / cell) * cell, math.floor(n0 / cell) * cell,
            math.ceil(e1 / cell) * cell, math.ceil(n1 / cell) * cell)


def border_rays(cam, per_side=17):
    k = np.linspace(0, 1, per_side)
    w, h = cam.width - 1, cam.height - 1
    u = np.concatenate([k * w, np.full(per_side, w), k * w, np.zeros(per_side)])
    v = np.concatenate([np.zeros(per_side), k * h, np.full(per_side, h), k * h])
    return camlib.unproject(cam, u, v)


def output_files_to_replace(out):
    """Checks that `out` can take a flight: new, empty, or holding an earlier generated
    flight, whose files (returned) are then replaced. Any other content but a README is
    refused, so that real photos are never touched and a shorter flight leaves no stale
    photos."""
    if not os.path.exists(out):
        return []
    if not os.path.isdir(out):
        raise UserError("%s exists and is not a folder" % out)
    own = {"truth", "truth.json"}
    truth_path = os.path.join(out, "truth.json")
    if os.path.exists(truth_path):
        try:
            with open(truth_path, encoding="utf-8") as f:
                old = json.load(f)
            if old.get("format") != TRUTH_FORMAT:
                raise ValueError("other format")
            own |= {p[k] for p in old["photos"] for k in ("file", "dng") if k in p}
        except (OSError, ValueError, KeyError, TypeError, AttributeError):
            raise UserError("%s holds a truth.json that is not a generated flight's; choose another folder" % out)
    # A README describing the flight may sit beside it and is kept.
    others = sorted(n for n in set(os.listdir(out)) - own if not n.upper().startswith("README"))
    if others:
        raise UserError("%s is not empty (%s); choose an empty folder or an earlier flight's" % (out, others[0]))
    files = [os.path.join(out, n) for n in sorted(own - {"truth"})]
    return files + [os.path.join(out, "truth", n) for n in ("ortho.tif", "dsm.tif")]


def build_scene(a, o, cam, stations, poses, gsd, ortho_gsd, rng_terrain, rng_layout):
    """Terrain, layout and an empty texture buffer. Returns (scene, labels, palette,
    takeoff position, extent)."""
    sopts = sc.SceneOptions(terrain=a.terrain, relief_m=a.relief, slope_percent=a.slope,
                            buildings=a.buildings, trees=a.trees)
    # Terrain first: its lowest point decides how far the photos reach.
    pos = np.array([p["position"] for p in poses])
    reach = o.altitude_m * 2.0 + 60
    region = (pos[:, 0].min() - reach, pos[:, 1].min() - reach, pos[:, 0].max() + reach, pos[:, 1].max() + reach)
    terrain = sc.make_terrain_function(sopts, rng_terrain, region)
    h0 = math.radians(stations[0][2])
    takeoff = np.array(stations[0][:2]) - 15.0 * np.array([math.sin(h0), math.cos(h0)])
    z_takeoff = float(terrain(takeoff[0], takeoff[1]))
    ge, gn = np.meshgrid(np.arange(region[0], region[2], 2.0), np.arange(region[1], region[3], 2.0))
    heights = terrain(ge, gn) - z_takeoff
    e0, n0, e1, n1 = scene_extent(border_rays(cam), poses, float(heights.min()) - 1.0, ortho_gsd)

    s = sc.Scene(east0=e0, north1=n1, texel_m=ortho_gsd / a.texels)
    ow, oh = int(round((e1 - e0) / ortho_gsd)), int(round((n1 - n0) / ortho_gsd))
    s.tex_w, s.tex_h = ow * a.texels, oh * a.texels
    if s.tex_w * s.tex_h > MAX_TEXELS:
        raise UserError("the scene needs %d x %d texture cells, more than %d; use fewer or smaller photos, "
                        "a coarser --ortho-gsd or fewer --texels" % (s.tex_w, s.tex_h, MAX_TEXELS))
    nx = int(math.ceil((e1 - e0) / s.dem_m)) + 2
    ny = int(math.ceil((n1 - n0) / s.dem_m)) + 2
    de, dn = np.meshgrid(e0 + np.arange(nx) * s.dem_m, n1 - np.arange(ny) * s.dem_m)
    s.dem = (terrain(de, dn) - z_takeoff).astype(np.float32)
    # Buildings and crowns stand up to about 12 m above the ground.
    if float(s.dem.max()) > o.altitude_m - 20:
        raise UserError("the terrain rises to within 20 m of the flight altitude; raise --altitude or lower "
                        "--relief / --slope")
    s.dem_shade = sc.terrain_shade(s.dem, s.dem_m)
    labels, pal = sc.layout(s, rng_layout, sopts, lambda e, n: sc.height_at(s, e, n), takeoff)
    return s, labels, pal, takeoff, (e0, n0, e1, n1)


def check_utm_frame(photos_meta, zone, south):
    recorded = [m["recorded"] for m in photos_meta]
    rz = geodesy.utm_zone(float(np.median([r["lon"] for r in recorded])))
    rs = float(np.median([r["lat"] for r in recorded])) < 0
    if (rz, rs) != (zone, south):
        raise UserError("the flight straddles a UTM zone boundary or the equator; move --lon or --lat")


def render_all(a, s, labels, pal, rng_tex, gsd, renderer, jobs, ortho):
    """Fills the texture and the true orthophoto, then renders and saves every photo, on
    a.jobs processes."""
    _W.update(texjob=sc.TextureJob(s, labels, pal, rng_tex, gsd), texture=s.texture, renderer=renderer,
              photos=jobs, quality=a.quality, texels=a.texels, ortho=ortho, model=a.model)
    step = a.texels * math.ceil(256 / a.texels)  # whole orthophoto rows per band
    bands = [(r, min(s.tex_h, r + step)) for r in range(0, s.tex_h, step)]
    pool = mp.get_context("fork").Pool(a.jobs) if a.jobs > 1 else None
    try:
        _run(pool, _texture_band, bands)
        t_texture = time.time()
        _run(pool, _render_photo, list(range(len(jobs))))
    finally:
        if pool is not None:
            pool.close()
            pool.join()
        _W.clear()
    return t_texture


def write_truth_rasters(a, s, frame, extent, ortho_gsd, ortho, truth_dir):
    """The true orthophoto and the DSM as GeoTIFFs."""
    zone, south, oe, on = frame
    e0, n0, e1, n1 = extent
    epsg = geodesy.epsg_code(zone, south)
    geotiff.write_rgb(os.path.join(truth_dir, "ortho.tif"), ortho, oe + e0, on + n1, ortho_gsd, epsg,
                      jpeg_quality=a.ortho_jpeg)
    dw, dh = int(math.ceil((e1 - e0) / a.dsm_gsd)), int(math.ceil((n1 - n0) / a.dsm_gsd))
    dsm = np.empty((dh, dw), np.float32)
    ce = e0 + (np.arange(dw) + 0.5) * a.dsm_gsd
    for r0 in range(0, dh, 256):
        r1 = min(dh, r0 + 256)
        cn = n1 - (np.arange(r0, r1) + 0.5) * a.dsm_gsd
        ee, nn = np.meshgrid(ce, cn)
        dsm[r0:r1] = sc.dsm_at(s, ee, nn)
    geotiff.write_float(os.path.join(truth_dir, "dsm.tif"), dsm, oe + e0, on + n1, a.dsm_gsd, epsg)


def generate(a):
    o = flight_options(a)
    t_start = time.time()
    if shutil.which("exiftool") is None:
        raise UserError("exiftool not found (Debian package libimage-exiftool-perl)")
    stale = output_files_to_replace(a.out)
    # Independent streams, so that e.g. more trees do not change the GPS noise.
    seeds = np.random.SeedSequence(a.seed).spawn(6)
    rng_pose, rng_terrain, rng_layout, rng_meta, rng_tex, _ = [np.random.default_rng(s) for s in seeds]

    cam, cam_tags = fl.make_camera(o)
    stations, along, across = fl.plan(o, cam)
    poses = fl.draw_true_poses(o, stations, rng_pose)
    frame = fl.utm_frame(o.lat, o.lon)
    photos_meta = fl.metadata(o, poses, frame, rng_meta, o.takeoff_amsl_m)
    check_utm_frame(photos_meta, frame[0], frame[1])
    gsd = fl.nominal_gsd(o, cam)
    ortho_gsd = a.ortho_gsd if a.ortho_gsd > 0 else round(gsd, 3)
    s, labels, pal, takeoff, extent = build_scene(a, o, cam, stations, poses, gsd, ortho_gsd,
                                                  rng_terrain, rng_layout)
    # Only now that the request has proven feasible does an earlier flight go.
    for path in stale:
        if os.path.isfile(path):
            os.remove(path)
    os.makedirs(os.path.join(a.out, "truth"), exist_ok=True)
    t_layout = time.time()

    buf = mp.RawArray("Q", s.tex_w * s.tex_h)
    s.texture = np.frombuffer(buf, dtype=np.uint64).reshape(s.tex_h, s.tex_w)
    ortho_buf = mp.RawArray("B", s.tex_w // a.texels * (s.tex_h // a.texels) * 3)
    ortho = np.frombuffer(ortho_buf, dtype=np.uint8).reshape(s.tex_h // a.texels, s.tex_w // a.texels, 3)
    renderer = rd.Renderer(s, cam, ss=a.supersample, vignetting=o.vignetting)
    names = ["DJI_%04d.JPG" % (i + 1) for i in range(len(poses))]
    dng_names = [n[:-3] + "DNG" if a.dng else None for n in names]
    jobs = [dict(C=np.array(p["position"]), R=geodesy.rotation_from_angles(p["yaw"], p["pitch"], p["roll"]),
                 gain=photos_meta[i]["gain"], path=os.path.join(a.out, names[i]),
                 dng=os.path.join(a.out, dng_names[i]) if a.dng else None) for i, p in enumerate(poses)]
    t_texture = render_all(a, s, labels, pal, rng_tex, gsd, renderer, jobs, ortho)
    del labels
    t_render = time.time()

    with tempfile.TemporaryDirectory() as tmp:
        tag_jobs = []
        for i, pm in enumerate(photos_meta):
            exif = metadata.exif_values(o, pm, cam_tags, o.width, o.height)
            tag_jobs.append((jobs[i]["path"], exif, metadata.xmp_packet(o, pm, cam_tags, i)))
            if jobs[i]["dng"]:
                tag_jobs.append((jobs[i]["dng"], exif, metadata.xmp_packet(o, pm, cam_tags, i, "image/x-adobe-dng")))
        metadata.write_tags(tag_jobs, tmp)
    t_tags = time.time()
    write_truth_rasters(a, s, frame, extent, ortho_gsd, ortho, os.path.join(a.out, "truth"))
    t_truth = time.time()
    truth = build_truth(a, o, cam, cam_tags, poses, photos_meta, names, dng_names, renderer, s,
                        frame, takeoff, gsd, ortho_gsd, extent, along, across)
    with open(os.path.join(a.out, "truth.json"), "w", encoding="utf-8") as f:
        json.dump(truth, f, indent=1)
        f.write("\n")
    t_end = time.time()
    e0, n0, e1, n1 = extent
    print("flightsim: %d photos %dx%d in %s (seed %d)" % (len(names), o.width, o.height, a.out, a.seed))
    print("  scene %.0f x %.0f m, texture %d x %d, %d buildings, %d trees" % (
        e1 - e0, n1 - n0, s.tex_w, s.tex_h, s.summary["buildings"], s.summary["trees"]))
    print("  times: layout %.1f s, texture %.1f s, render %.1f s, tags %.1f s, truth %.1f s, total %.1f s" % (
        t_layout - t_start, t_texture - t_layout, t_render - t_texture, t_tags - t_render, t_truth - t_tags,
        t_end - t_start))


def rebuild_scene(truth):
    """The scene geometry of a generated flight, remade from the options and seed in its
    truth: (scene without texture, UTM east and north of the scene's frame origin, true
    poses in the scene frame). The draws happen in the generator's order, so the terrain,
    boxes and crowns are those the photos were rendered from."""
    argv = ["rebuild"]
    for key, value in truth["generator"]["options"].items():
        argv += ["--" + key.replace("_", "-"), str(value)]
    a = parse_args(argv)
    o = flight_options(a)
    seeds = np.random.SeedSequence(a.seed).spawn(6)
    rng_pose, rng_terrain, rng_layout = [np.random.default_rng(s) for s in seeds[:3]]
    cam, _ = fl.make_camera(o)
    stations, _, _ = fl.plan(o, cam)
    poses = fl.draw_true_poses(o, stations, rng_pose)
    _, _, oe, on = fl.utm_frame(o.lat, o.lon)
    gsd = fl.nominal_gsd(o, cam)
    ortho_gsd = a.ortho_gsd if a.ortho_gsd > 0 else round(gsd, 3)
    s, _, _, _, _ = build_scene(a, o, cam, stations, poses, gsd, ortho_gsd, rng_terrain, rng_layout)
    return s, (oe, on), poses


def main(argv=None):
    a = parse_args(argv)
    try:
        generate(a)
    except UserError as e:
        print("error: %s" % e, file=sys.stderr)
        return 1
    except (OSError, RuntimeError) as e:
        print("error: %s" % e, file=sys.stderr)
        return 1
    return 0


def build_truth(a, o, cam, cam_tags, poses, pm, names, dng_names, renderer, s, frame, takeoff, gsd, ortho_gsd,
                extent, along, across):
    zone, south, oe, on = frame
    recorded = [m["recorded"] for m in pm]
    roe, ron = fl.reader_origin(recorded, zone, south)
    shift = np.array([oe - roe, on - ron])  # scene frame -> reader frame
    e0, n0, e1, n1 = extent
    xmp_cam = {k: v for k, v in cam_tags.items() if isinstance(v, str)}
    photos = []
    for i, p in enumerate(poses):
        R = geodesy.rotation_from_angles(p["yaw"], p["pitch"], p["roll"])
        C = np.array(p["position"])
        fp = renderer.footprint(C, R) + shift
        m = pm[i]
        photos.append(dict(
            file=names[i],
            **(dict(dng=dng_names[i]) if dng_names[i] else {}),
            position=[C[0] + shift[0], C[1] + shift[1], C[2]],
            position_utm=[oe + C[0], on + C[1], C[2]],
            rotation=R.tolist(),
            angles=dict(grid_yaw=p["yaw"], pitch=p["pitch"], roll=p["roll"]),
            gain=m["gain"],
            exposure=dict(time=m["exposure_time"], f_number=m["f_number"], iso=m["iso"], value=m["exposure"]),
            time=m["time"],
            metadata_true=m["true"],
            metadata_recorded=m["recorded"],
            tags=dict(exif=metadata.exif_values(o, m, cam_tags, o.width, o.height),
                      xmp=dict(metadata.drone_attributes(o, m, cam_tags, i))),
            footprint=[[float(x), float(y)] for x, y in fp]))
    cam_json = cam.to_json()
    return dict(
        format=TRUTH_FORMAT, version=TRUTH_VERSION,
        generator=dict(seed=a.seed, options={k: v for k, v in sorted(vars(a).items()) if k not in ("out", "jobs")}),
        frames=dict(
            description="positions: east and north in metres from the UTM origin, height above take-off; "
                        "rotation: row-major world-to-camera matrix, rows = image right, image down and "
                        "viewing direction in local (east, north, up); pixel (0, 0) is the centre of the "
                        "top-left pixel"),
        utm=dict(zone=zone, south=south, epsg=geodesy.epsg_code(zone, south), origin_e=roe, origin_n=ron),
        takeoff=dict(position=[takeoff[0] + shift[0], takeoff[1] + shift[1], 0.0], amsl=o.takeoff_amsl_m),
        camera=dict(cam_json, make=o.make, model=o.model, focal_mm=cam.fx * o.sensor_width_mm / o.width,
                    sensor_width_mm=o.sensor_width_mm),
        camera_from_metadata=metadata.intrinsics_from_tags(o.width, o.height, cam_tags["FocalLength"],
                                                           cam_tags["FocalLengthIn35mmFormat"], xmp_cam),
        **(dict(camera_from_dng=dng.camera_from_metadata(cam)) if a.dng else {}),
        vignetting=dict(model="1 - a * rho^2, rho = distance from the principal point / half the image diagonal",
                        a=o.vignetting),
        radiometry=dict(description="photo linear RGB = scene linear RGB * gain * vignetting; the truth "
                                    "orthophoto is the scene at gain 1, sRGB-encoded",
                        reference_exposure=(1.0 / fl.NOMINAL_EXPOSURE_TIME_DEN) * fl.ISO / fl.F_NUMBER ** 2),
        flight=dict(photos=len(names), legs=o.legs, altitude_m=o.altitude_m, nominal_gsd_m=gsd,
                    forward_spacing_m=along, side_spacing_m=across, gps=o.gps, xmp_style=o.xmp_style,
                    attitude_jitter_deg=o.attitude_jitter_deg, attitude_noise_deg=o.attitude_noise_deg),
        scene=dict(terrain=a.terrain, relief_m=a.relief, slope_percent=a.slope, **s.summary),
        ortho=dict(file="truth/ortho.tif", gsd_m=ortho_gsd, east=oe + e0, north=on + n1,
                   compression="jpeg" if a.ortho_jpeg else "deflate"),
        dsm=dict(file="truth/dsm.tif", gsd_m=a.dsm_gsd, east=oe + e0, north=on + n1,
                 heights="metres above take-off, top surface (terrain, roofs, crowns)"),
        photos=photos)


if __name__ == "__main__":
    sys.exit(main())
