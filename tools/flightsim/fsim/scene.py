"""The synthetic ground: terrain, box buildings, tree crowns and a photo-like texture.

Frame: local east, north (metres from the UTM origin) and height above the take-off
point. The texture holds the linear-light colour that a nadir view sees at each
(east, north), terrain and roof shading included, so the true orthophoto is a plain
average of texels and a photo only needs its own shading for walls.
"""
import math
from dataclasses import dataclass, field

import numpy as np
from PIL import Image, ImageDraw
from scipy import ndimage
from scipy.spatial import Voronoi

from . import noise

# A texel packs three 10-bit linear-light codes (value = code / TEX_SCALE) into one
# 64-bit word, 21 bits apart: a bilinear blend with integer weights summing to 256
# stays below 1023 * 256 < 2^21 per channel, so all three blend in one multiply-add.
TEX_SCALE = 1023.0
TEX_SHIFT = 21
SUN_AZIMUTH_DEG = 150.0
SUN_ELEVATION_DEG = 55.0
AMBIENT = 0.4
DEM_CELL_M = 0.5


def srgb_to_linear(v):
    v = np.asarray(v, dtype=np.float64)
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


def linear_to_srgb(x):
    x = np.clip(x, 0.0, 1.0)
    return np.where(x <= 0.0031308, 12.92 * x, 1.055 * np.power(x, 1 / 2.4) - 0.055)


def sun_vector():
    az, el = math.radians(SUN_AZIMUTH_DEG), math.radians(SUN_ELEVATION_DEG)
    return np.array([math.sin(az) * math.cos(el), math.cos(az) * math.cos(el), math.sin(el)])


def shade_of_normal(nx, ny, nz):
    """Lambert shading with ambient light, scaled so that level ground gives 1."""
    sun = sun_vector()
    norm = np.sqrt(nx * nx + ny * ny + nz * nz)
    lam = np.maximum(0.0, (nx * sun[0] + ny * sun[1] + nz * sun[2]) / norm)
    return AMBIENT + (1 - AMBIENT) * lam / sun[2]


@dataclass
class SceneOptions:
    terrain: str = "hills"        # flat, hills or slope
    relief_m: float = 6.0         # height range of the hills
    slope_percent: float = 8.0    # gradient of the "slope" terrain
    buildings: int = -1           # -1: a density that suits the area
    trees: int = -1


@dataclass
class Scene:
    # Texture grid: texel (row i, col j) has its centre at
    # (east0 + (j + 0.5) texel_m, north1 - (i + 0.5) texel_m).
    east0: float = 0.0
    north1: float = 0.0
    texel_m: float = 0.05
    tex_w: int = 0
    tex_h: int = 0
    texture: np.ndarray = None    # uint64 (tex_h, tex_w): R | G << 21 | B << 42, linear
    # Terrain heights at nodes (east0 + j dem_m, north1 - i dem_m), bilinear between them.
    dem: np.ndarray = None
    dem_m: float = DEM_CELL_M
    dem_shade: np.ndarray = None
    # Boxes: centre, unit axis u (east, north), half sizes along u and the axis v = u
    # turned 90 degrees anticlockwise, base and roof heights, wall colour (linear RGB).
    buildings: dict = field(default_factory=dict)
    # Ellipsoidal crowns: centre (east, north, up), horizontal and vertical radii.
    trees: dict = field(default_factory=dict)
    summary: dict = field(default_factory=dict)


# ---------------------------------------------------------------- terrain

def make_terrain_function(opts, rng, region):
    """A smooth height function h(east, north) over `region` (e0, n0, e1, n1), not yet
    referred to the take-off point."""
    e0, n0, e1, n1 = region
    w, h = e1 - e0, n1 - n0
    kind = opts.terrain
    relief = opts.relief_m
    lats = []
    if kind in ("hills", "slope"):
        amp = relief if kind == "hills" else relief / 3
        for cell, weight in ((90.0, 0.55), (45.0, 0.3), (22.0, 0.15)):
            lats.append((noise.Lattice(rng, e0 - cell, n1 + cell, w + 2 * cell, h + 2 * cell, cell),
                         amp * weight * 0.5))
    bumps = []
    if kind == "hills":
        for _ in range(4):
            bumps.append((rng.uniform(e0, e1), rng.uniform(n0, n1), rng.uniform(25, 60),
                          rng.uniform(-0.5, 0.5) * relief))
    grad = np.zeros(2)
    if kind == "slope":
        a = rng.uniform(0, 2 * math.pi)
        grad = opts.slope_percent / 100.0 * np.array([math.cos(a), math.sin(a)])

    def height(east, north):
        east = np.asarray(east, dtype=np.float64)
        north = np.asarray(north, dtype=np.float64)
        z = grad[0] * east + grad[1] * north
        for lat, amp in lats:
            z = z + amp * noise.sample_points(lat, east, north)
        for be, bn, r, a in bumps:
            z = z + a * np.exp(-((east - be) ** 2 + (north - bn) ** 2) / (2 * r * r))
        return z
    return height


def height_at(scene, east, north):
    """Terrain height (bilinear over the DEM, float32) at points; outside the DEM the
    edge holds."""
    shape = np.shape(east)
    x = (np.atleast_1d(np.asarray(east, np.float32)) - np.float32(scene.east0)) * np.float32(1.0 / scene.dem_m)
    y = (np.float32(scene.north1) - np.atleast_1d(np.asarray(north, np.float32))) * np.float32(1.0 / scene.dem_m)
    return ndimage.map_coordinates(scene.dem, [y, x], order=1, mode="nearest", prefilter=False,
                                   output=np.float32).reshape(shape)


def terrain_shade(dem, cell):
    gy, gx = np.gradient(dem.astype(np.float64), cell)
    # Rows run south, so the northward gradient is -gy.
    return shade_of_normal(-gx, gy, np.ones_like(gx)).astype(np.float32)


# ---------------------------------------------------------------- layout

ROWS, PLAIN, ROAD, MARK, ROOF, TREE, WATER = range(7)


class Palette:
    """Per-label material parameters; label 0 is the default meadow."""

    def __init__(self):
        self.rows = []

    def add(self, kind, a, b=None, period=0.0, angle=0.0, fine=0.15, coarse=0.15,
            chroma=0.1, ground=True, tree=-1):
        a_lin = srgb_to_linear(np.array(a) / 255.0)
        b_lin = srgb_to_linear(np.array(b if b is not None else a) / 255.0)
        self.rows.append(dict(kind=kind, a=a_lin, b=b_lin, period=period, angle=angle, fine=fine,
                              coarse=coarse, chroma=chroma, ground=ground, tree=tree))
        return len(self.rows) - 1

    def arrays(self):
        r = self.rows
        f32 = np.float32
        return dict(
            a=np.array([x["a"] for x in r], f32), b=np.array([x["b"] for x in r], f32),
            inv_period=np.array([1.0 / x["period"] if x["period"] > 0 else 0.0 for x in r], f32),
            cos=np.array([math.cos(x["angle"]) for x in r], f32),
            sin=np.array([math.sin(x["angle"]) for x in r], f32),
            fine=np.array([x["fine"] for x in r], f32), coarse=np.array([x["coarse"] for x in r], f32),
            chroma=np.array([x["chroma"] for x in r], f32),
            ground=np.array([x["ground"] for x in r], bool), tree=np.array([x["tree"] for x in r], np.int32),
            rowmix=np.array([1.0 if x["period"] > 0 else 0.0 for x in r], f32))


FIELD_KINDS = [
    # (weight, kind, colour a, colour b, row period m, fine noise, coarse noise)
    (3, ROWS, (74, 112, 40), (118, 96, 70), 0.75, 0.18, 0.15),    # young crop in rows
    (2, ROWS, (196, 176, 104), (170, 150, 88), 0.35, 0.14, 0.12),  # ripe cereal
    (2, ROWS, (128, 98, 72), (98, 74, 56), 1.1, 0.25, 0.12),       # ploughed soil
    (3, PLAIN, (96, 128, 58), None, 0, 0.30, 0.18),                # meadow
    (1, PLAIN, (150, 150, 70), None, 0, 0.32, 0.25),               # dry grass
    (1, PLAIN, (206, 192, 158), None, 0, 0.015, 0.02),             # bare sand: almost no texture
]


def _pick_field(rng):
    w = np.array([k[0] for k in FIELD_KINDS], float)
    return FIELD_KINDS[rng.choice(len(FIELD_KINDS), p=w / w.sum())]


def _polyline(rng, region, start, direction, step=4.0):
    """A gently winding line through the region, as (east, north) points."""
    e0, n0, e1, n1 = region
    pts = []
    p = np.array(start, float)
    heading = direction
    turn = 0.0
    for _ in range(4000):
        pts.append(p.copy())
        turn = 0.9 * turn + rng.normal(0, 0.004)
        heading += turn
        p = p + step * np.array([math.cos(heading), math.sin(heading)])
        if not (e0 - 50 <= p[0] <= e1 + 50 and n0 - 50 <= p[1] <= n1 + 50):
            pts.append(p.copy())
            break
    return np.array(pts)


def _offset(line, d):
    t = np.gradient(line, axis=0)
    t /= np.linalg.norm(t, axis=1, keepdims=True)
    normal = np.stack([-t[:, 1], t[:, 0]], axis=1)
    return line + d * normal


def _dist_to_lines(p, lines):
    best = np.inf
    for line in lines:
        a, b = line[:-1], line[1:]
        ab = b - a
        t = np.clip(((p - a) * ab).sum(1) / np.maximum((ab * ab).sum(1), 1e-9), 0, 1)
        d = np.linalg.norm(a + t[:, None] * ab - p, axis=1).min()
        best = min(best, d)
    return best


def _rect(ce, cn, ux, uy, ha, hb):
    vx, vy = -uy, ux
    return np.array([[ce + sa * ha * ux + sb * hb * vx, cn + sa * ha * uy + sb * hb * vy]
                     for sa, sb in ((1, 1), (-1, 1), (-1, -1), (1, -1))])


class LabelDrawing:
    """The label map as a list of drawing commands in texel coordinates, rasterised band
    by band on demand: the whole map would take 4 bytes a texel, and bands can be made
    by parallel workers."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.ops = []  # (lowest row, highest row, method, args, keywords)

    def _add(self, ys, reach, method, args, kw):
        self.ops.append((min(ys) - reach, max(ys) + reach, method, args, kw))

    def polygon(self, xy, fill):
        self._add([y for _, y in xy], 1, "polygon", (list(xy),), dict(fill=fill))

    def line(self, xy, fill, width=1, joint=None):
        self._add([y for _, y in xy], width / 2 + 1, "line", (list(xy),), dict(fill=fill, width=width, joint=joint))

    def ellipse(self, box, fill):
        self._add([box[1], box[3]], 1, "ellipse", (list(box),), dict(fill=fill))

    def band(self, r0, r1):
        """Labels of rows r0..r1 (int32, (r1 - r0, width))."""
        img = Image.new("I", (self.width, r1 - r0), 0)
        d = ImageDraw.Draw(img)
        for lo, hi, method, args, kw in self.ops:
            if hi < r0 or lo > r1:
                continue
            pts = args[0]
            if method == "ellipse":
                moved = [pts[0], pts[1] - r0, pts[2], pts[3] - r0]
            else:
                moved = [(x, y - r0) for x, y in pts]
            getattr(d, method)(moved, **kw)
        return np.asarray(img, dtype=np.int32)


def layout(scene, rng, opts, height_fn, takeoff_en):
    """Places fields, roads, the pond, buildings and trees. Returns the label drawing and
    the palette of label materials."""
    e0, n1, t = scene.east0, scene.north1, scene.texel_m
    e1 = e0 + scene.tex_w * t
    n0 = n1 - scene.tex_h * t
    region = (e0, n0, e1, n1)
    area_ha = (e1 - e0) * (n1 - n0) / 1e4
    draw = LabelDrawing(scene.tex_w, scene.tex_h)
    pal = Palette()
    pal.add(PLAIN, (100, 130, 60), fine=0.2, coarse=0.2)  # 0: meadow under everything

    def px(points):
        return [((x - e0) / t - 0.5, (n1 - y) / t - 0.5) for x, y in points]

    # Fields: Voronoi cells of jittered sites, ringed by far sites so every cell is finite.
    spacing = 48.0
    sites = []
    for y in np.arange(n0 - spacing, n1 + 2 * spacing, spacing):
        for x in np.arange(e0 - spacing, e1 + 2 * spacing, spacing):
            sites.append((x + rng.uniform(-0.4, 0.4) * spacing, y + rng.uniform(-0.4, 0.4) * spacing))
    ring = [(e0 + (e1 - e0) / 2 + 1e4 * math.cos(a), n0 + (n1 - n0) / 2 + 1e4 * math.sin(a))
            for a in np.linspace(0, 2 * math.pi, 12, endpoint=False)]
    vor = Voronoi(np.array(sites + ring))
    field_count = 0
    for si in range(len(sites)):
        region_idx = vor.point_region[si]
        verts = vor.regions[region_idx]
        if not verts or -1 in verts:
            continue
        poly = vor.vertices[verts]
        fk = _pick_field(rng)
        longest = max(range(len(poly)), key=lambda k: np.linalg.norm(poly[(k + 1) % len(poly)] - poly[k]))
        d = poly[(longest + 1) % len(poly)] - poly[longest]
        angle = math.atan2(d[1], d[0]) + math.pi / 2  # rows run along the longest edge
        lab = pal.add(fk[1], fk[2], fk[3], period=fk[4] * rng.uniform(0.9, 1.1), angle=angle,
                      fine=fk[5], coarse=fk[6])
        draw.polygon(px(poly), fill=lab)
        field_count += 1
    # Grass margins between the fields.
    margin = pal.add(PLAIN, (88, 118, 52), fine=0.3, coarse=0.15)
    for si in range(len(sites)):
        verts = vor.regions[vor.point_region[si]]
        if verts and -1 not in verts:
            poly = px(vor.vertices[verts])
            draw.line(poly + [poly[0]], fill=margin, width=max(1, int(round(1.2 / t))))

    # Roads: one across the whole scene and one branch, with paint on the main road.
    centre = np.array([(e0 + e1) / 2, (n0 + n1) / 2]) + rng.uniform(-0.15, 0.15, 2) * [(e1 - e0), (n1 - n0)]
    a = rng.uniform(0, math.pi)
    half = _polyline(rng, region, centre, a)
    other = _polyline(rng, region, centre, a + math.pi)
    main = np.concatenate([other[::-1], half[1:]])
    branch = _polyline(rng, region, main[len(main) // 3], a + math.pi / 2 + rng.uniform(-0.4, 0.4))
    road_w, track_w = rng.uniform(5.5, 7.0), rng.uniform(3.0, 4.0)
    roads = [main, branch]

    # A pond: a large area with almost no texture, kept off the roads.
    angles = np.linspace(0, 2 * math.pi, 40, endpoint=False)
    for _ in range(200):
        c = np.array([rng.uniform(e0 + 0.2 * (e1 - e0), e1 - 0.2 * (e1 - e0)),
                      rng.uniform(n0 + 0.2 * (n1 - n0), n1 - 0.2 * (n1 - n0))])
        r = rng.uniform(12, 20)
        if _dist_to_lines(c, roads) > 1.4 * r + road_w:
            break
    radii = r * (1 + 0.25 * np.sin(3 * angles + rng.uniform(0, 6)) + 0.1 * np.sin(5 * angles))
    pond = c + np.stack([radii * np.cos(angles), radii * np.sin(angles)], 1)
    draw.polygon(px(pond), fill=pal.add(WATER, (44, 58, 62), fine=0.01, coarse=0.03, chroma=0.02))
    obstacles = [(c, r * 1.4)]

    asphalt = pal.add(ROAD, (86, 86, 90), fine=0.10, coarse=0.08, chroma=0.02)
    track = pal.add(ROAD, (152, 128, 98), fine=0.18, coarse=0.1)
    draw.line(px(branch), fill=track, width=int(round(track_w / t)), joint="curve")
    draw.line(px(main), fill=asphalt, width=int(round(road_w / t)), joint="curve")
    paint = pal.add(MARK, (232, 232, 226), fine=0.03, coarse=0.02, chroma=0.0)
    for side in (-1, 1):
        draw.line(px(_offset(main, side * (road_w / 2 - 0.35))), fill=paint, width=max(1, int(round(0.12 / t))))
    cum = np.concatenate([[0], np.cumsum(np.linalg.norm(np.diff(main, axis=0), axis=1))])
    for s in np.arange(0, cum[-1] - 3, 9.0):
        seg = np.array([np.interp([s, s + 3], cum, main[:, 0]), np.interp([s, s + 3], cum, main[:, 1])]).T
        draw.line(px(seg), fill=paint, width=max(1, int(round(0.15 / t))))

    # Buildings: a hamlet along the main road and a few farm buildings.
    n_build = opts.buildings if opts.buildings >= 0 else int(round(1.2 * area_ha))
    roof_colours = [(160, 78, 56), (112, 112, 118), (72, 66, 72), (150, 144, 134), (186, 112, 84)]
    wall_colours = [(214, 204, 186), (190, 180, 170), (226, 222, 210), (170, 150, 130)]
    b = {k: [] for k in ("ce", "cn", "ux", "uy", "ha", "hb", "z0", "z1", "wall")}
    tries = 0
    while len(b["ce"]) < n_build and tries < 4000:
        tries += 1
        if rng.random() < 0.75:
            k = rng.integers(0, len(main))
            tan = main[min(k + 1, len(main) - 1)] - main[max(k - 1, 0)]
            tan /= np.linalg.norm(tan)
            nrm = np.array([-tan[1], tan[0]]) * rng.choice([-1, 1])
            ha, hb = rng.uniform(5, 11), rng.uniform(4, 7)
            p = main[k] + nrm * (road_w / 2 + hb + rng.uniform(3, 10))
            ux, uy = tan
        else:
            p = np.array([rng.uniform(e0, e1), rng.uniform(n0, n1)])
            ang = rng.uniform(0, math.pi)
            ux, uy = math.cos(ang), math.sin(ang)
            ha, hb = rng.uniform(6, 14), rng.uniform(5, 9)
        rad = math.hypot(ha, hb)
        if not (e0 + rad < p[0] < e1 - rad and n0 + rad < p[1] < n1 - rad):
            continue
        if any(np.linalg.norm(p - q) < rad + qr + 2.5 for q, qr in obstacles):
            continue
        if _dist_to_lines(p, roads) < road_w / 2 + min(ha, hb) + 0.5:
            continue
        if np.linalg.norm(p - takeoff_en) < rad + 8:
            continue
        corners = _rect(p[0], p[1], ux, uy, ha, hb)
        ground = height_fn(corners[:, 0], corners[:, 1])
        z0 = float(ground.min()) - 0.3
        z1 = float(height_fn(p[0], p[1])) + rng.uniform(3.0, 12.0)
        b["ce"].append(p[0]); b["cn"].append(p[1]); b["ux"].append(ux); b["uy"].append(uy)
        b["ha"].append(ha); b["hb"].append(hb); b["z0"].append(z0); b["z1"].append(z1)
        b["wall"].append(srgb_to_linear(np.array(wall_colours[rng.integers(len(wall_colours))]) / 255))
        obstacles.append((p, rad))
        low = rng.random() < 0.2  # some roofs are plain sheets with little texture
        roof = pal.add(ROOF, roof_colours[rng.integers(len(roof_colours))], fine=0.03 if low else 0.14,
                       coarse=0.04 if low else 0.1, chroma=0.03, ground=False)
        draw.polygon(px(corners), fill=roof)
        rim = pal.add(ROOF, (60, 60, 64), fine=0.05, coarse=0.05, chroma=0.0, ground=False)
        draw.line(px(np.vstack([corners, corners[:1]])), fill=rim, width=max(1, int(round(0.4 / t))))
        for _ in range(rng.integers(0, 4)):  # vents and skylights
            sa, sb = rng.uniform(-0.7, 0.7) * ha, rng.uniform(-0.7, 0.7) * hb
            q = p + sa * np.array([ux, uy]) + sb * np.array([-uy, ux])
            box = _rect(q[0], q[1], ux, uy, rng.uniform(0.4, 1.2), rng.uniform(0.4, 1.0))
            colour = (40, 50, 70) if rng.random() < 0.5 else (200, 200, 196)
            draw.polygon(px(box), fill=pal.add(ROOF, colour, fine=0.04, coarse=0.02, chroma=0.0, ground=False))
    scene.buildings = {k: np.array(v, dtype=np.float64) for k, v in b.items()}
    if not b["ce"]:
        scene.buildings["wall"] = np.zeros((0, 3))

    # Trees: rows along the branch road, a copse, and scattered single trees.
    n_trees = opts.trees if opts.trees >= 0 else int(round(9 * area_ha))
    cands = []
    for side in (-1, 1):
        line = _offset(branch, side * (track_w / 2 + 3.5))
        cum = np.concatenate([[0], np.cumsum(np.linalg.norm(np.diff(line, axis=0), axis=1))])
        for s in np.arange(rng.uniform(0, 10), cum[-1], rng.uniform(9, 13)):
            cands.append((np.interp(s, cum, line[:, 0]), np.interp(s, cum, line[:, 1]), rng.uniform(2.0, 3.0)))
    copse = np.array([rng.uniform(e0, e1), rng.uniform(n0, n1)])
    for _ in range(n_trees):
        if rng.random() < 0.5:
            q = copse + rng.normal(0, 14, 2)
        else:
            q = np.array([rng.uniform(e0, e1), rng.uniform(n0, n1)])
        cands.append((q[0], q[1], rng.uniform(1.6, 4.2)))
    order = rng.permutation(len(cands))
    tr = {k: [] for k in ("ce", "cn", "cz", "a", "b")}
    for i in order:
        if len(tr["ce"]) >= n_trees:
            break
        x, y, a = cands[i]
        if not (e0 + a < x < e1 - a and n0 + a < y < n1 - a):
            continue
        p = np.array([x, y])
        if any(np.linalg.norm(p - q) < a + qr + 0.5 for q, qr in obstacles[1:]):
            continue
        # Crowns never overlap: each one's texture disc must be its own.
        if tr["ce"] and (np.hypot(np.array(tr["ce"]) - x, np.array(tr["cn"]) - y) < np.array(tr["a"]) + a).any():
            continue
        if np.linalg.norm(p - obstacles[0][0]) < obstacles[0][1] + a:
            continue
        if _dist_to_lines(p, [main]) < road_w / 2 + a * 0.6:
            continue
        if np.linalg.norm(p - takeoff_en) < a + 6:
            continue
        bv = a * rng.uniform(0.8, 1.25)
        tr["ce"].append(x); tr["cn"].append(y); tr["a"].append(a); tr["b"].append(bv)
        # The crown sits low, its lower part below the ground, so that few rays pass
        # between crown and ground (where the texture would still show the crown).
        tr["cz"].append(float(height_fn(x, y)) + 0.8 * bv)
    scene.trees = {k: np.array(v, dtype=np.float64) for k, v in tr.items()}
    for i in range(len(tr["ce"])):
        x, y, a = tr["ce"][i], tr["cn"][i], tr["a"][i]
        lab = pal.add(TREE, (52, 84, 36), (30, 52, 22), fine=0.32, coarse=0.12, chroma=0.08,
                      ground=False, tree=int(i))
        (cx, cy), = px([(x, y)])
        r = a / t
        draw.ellipse([cx - r, cy - r, cx + r, cy + r], fill=lab)
    scene.summary = {"fields": field_count, "buildings": len(b["ce"]), "trees": len(tr["ce"]),
                     "road_width_m": road_w, "pond_centre": [float(c[0]), float(c[1])]}
    return draw, pal


# ---------------------------------------------------------------- texture

class TextureJob:
    """Everything a worker needs to colour bands of texels."""

    def __init__(self, scene, labels, pal, rng, gsd_m):
        self.scene = scene
        self.labels = labels  # a LabelDrawing
        self.p = pal.arrays()
        e0, n1 = scene.east0, scene.north1
        w, h = scene.tex_w * scene.texel_m, scene.tex_h * scene.texel_m
        fine_cells = [2 * gsd_m, 4 * gsd_m, 8 * gsd_m, 16 * gsd_m]
        coarse_cells = [3.0, 9.0, 27.0]
        self.fine = [(noise.Lattice(rng, e0 - c, n1 + c, w + 2 * c, h + 2 * c, c), wt)
                     for c, wt in zip(fine_cells, (0.45, 0.3, 0.2, 0.15))]
        self.coarse = [(noise.Lattice(rng, e0 - c, n1 + c, w + 2 * c, h + 2 * c, c), wt)
                       for c, wt in zip(coarse_cells, (0.5, 0.4, 0.3))]
        self.chroma = noise.Lattice(rng, e0 - 12, n1 + 12, w + 24, h + 24, 12.0)
        self.row_warp = noise.Lattice(rng, e0 - 8, n1 + 8, w + 16, h + 16, 8.0)

    def band(self, r0, r1):
        s, p = self.scene, self.p
        t = s.texel_m
        east = s.east0 + (np.arange(s.tex_w) + 0.5) * t
        north = s.north1 - (np.arange(r0, r1) + 0.5) * t
        lab = self.labels.band(r0, r1)
        fine = sum(wt * noise.sample_grid(l, east, north) for l, wt in self.fine)
        coarse = sum(wt * noise.sample_grid(l, east, north) for l, wt in self.coarse)
        chroma = noise.sample_grid(self.chroma, east, north)
        # Crop rows: a sine across the row direction, its phase wandering a little.
        E = (east - s.east0).astype(np.float32)[None, :]
        N = (north - s.north1).astype(np.float32)[:, None]
        phase = (E * p["cos"][lab] + N * p["sin"][lab]) * p["inv_period"][lab]
        phase += 0.8 * noise.sample_grid(self.row_warp, east, north)
        mix = (0.5 + 0.5 * np.sin(2 * np.pi * phase)) * p["rowmix"][lab]
        col = p["a"][lab] + (p["b"][lab] - p["a"][lab]) * mix[..., None]
        lum = np.exp(p["fine"][lab] * fine * 2.0 + p["coarse"][lab] * coarse * 2.0)
        shift = p["chroma"][lab] * chroma
        col *= lum[..., None]
        col *= 1 + shift[..., None] * np.array([1.0, -0.3, -1.0], np.float32)  # a slow drift in hue
        # Terrain shading for ground, ellipsoid shading for crowns; roofs are level.
        ground = p["ground"][lab]
        dem_shade = noise.sample_grid(_ShadeLattice(s), east, north)
        shade = np.where(ground, dem_shade, 1.0).astype(np.float32)
        tree = p["tree"][lab]
        ti = np.nonzero(tree >= 0)
        if ti[0].size:
            k = tree[ti]
            dx = east[ti[1]] - s.trees["ce"][k]
            dy = north[ti[0]] - s.trees["cn"][k]
            a, b = s.trees["a"][k], s.trees["b"][k]
            rho2 = np.minimum((dx * dx + dy * dy) / (a * a), 0.98)
            shade[ti] = shade_of_normal(dx / (a * a), dy / (a * a), np.sqrt(1 - rho2) / b)
        col *= shade[..., None]
        q = np.clip(np.rint(col * TEX_SCALE), 0, TEX_SCALE).astype(np.uint64)
        return q[..., 0] | (q[..., 1] << np.uint64(TEX_SHIFT)) | (q[..., 2] << np.uint64(2 * TEX_SHIFT))


class _ShadeLattice:
    """The DEM shading raster seen through the lattice sampler (linear, node-aligned)."""

    def __init__(self, scene):
        self.values = scene.dem_shade
        self.east0 = scene.east0
        self.north1 = scene.north1
        self.cell = scene.dem_m


def unpack_texels(packed):
    """Linear RGB float32 (..., 3) of packed texels."""
    m, sh = np.uint64(1023), np.uint64(TEX_SHIFT)
    r = (packed & m).astype(np.float32)
    g = ((packed >> sh) & m).astype(np.float32)
    b = ((packed >> (sh + sh)) & m).astype(np.float32)
    return np.stack([r, g, b], axis=-1) / TEX_SCALE


# ---------------------------------------------------------------- surface model

def in_building(b, i, east, north):
    """Whether points lie inside the footprint of building i of `b` (scene.buildings)."""
    dx, dy = east - b["ce"][i], north - b["cn"][i]
    su = dx * b["ux"][i] + dy * b["uy"][i]
    sv = -dx * b["uy"][i] + dy * b["ux"][i]
    return (np.abs(su) <= b["ha"][i]) & (np.abs(sv) <= b["hb"][i])


def dsm_at(scene, east, north):
    """Height of the top surface (terrain, roofs, crowns) at points."""
    z = height_at(scene, east, north).astype(np.float64)
    b = scene.buildings
    for i in range(len(b.get("ce", []))):
        z = np.where(in_building(b, i, east, north), np.maximum(z, b["z1"][i]), z)
    tr = scene.trees
    for i in range(len(tr.get("ce", []))):
        rho2 = ((east - tr["ce"][i]) ** 2 + (north - tr["cn"][i]) ** 2) / tr["a"][i] ** 2
        top = tr["cz"][i] + tr["b"][i] * np.sqrt(np.maximum(0.0, 1 - rho2))
        z = np.where(rho2 < 1, np.maximum(z, top), z)
    return z
