"""Photo rendering by inverse mapping: pixel -> ray -> first surface hit -> texture.

Every photo pixel averages ss x ss sub-samples on a regular grid. A sub-sample's ray
comes from undoing the lens once per flight; per photo it is turned into the world,
intersected with the terrain (fixed-point iteration, which converges because the
terrain is gentle and the views are near nadir), then with the boxes and crowns whose
image rectangles it falls in, and the nearest hit is shaded.
"""
import numpy as np
from scipy.interpolate import RectBivariateSpline

from . import camera as camlib
from . import scene as sc

MAX_TERRAIN_ITERATIONS = 40
COARSE = 8
MAX_POLISH_ITERATIONS = 3


def undistorted_grid(cam, ss, step=16, pad=2):
    """Ideal normalised coordinates (float32 (H ss, W ss) each) of the sub-sample grid.

    The lens is undone exactly at every step-th sub-sample (and a little beyond the
    frame) and spline-interpolated in between: the inverse lens is smooth, so this
    stays within 1e-4 pixel while costing a fraction of a full inversion."""
    hs, ws = cam.height * ss, cam.width * ss
    rows = np.arange(-pad * step, hs + (pad + 1) * step, step)
    cols = np.arange(-pad * step, ws + (pad + 1) * step, step)
    uu, vv = np.meshgrid((cols + 0.5) / ss - 0.5, (rows + 0.5) / ss - 0.5)
    x, y = camlib.unproject(cam, uu, vv)
    out = []
    for values in (x, y):
        spline = RectBivariateSpline(rows, cols, values, kx=3, ky=3, s=0)
        out.append(spline(np.arange(hs), np.arange(ws)).astype(np.float32))
    return out


class SceneGeometry:
    """Rays against the scene's terrain, boxes and crowns."""

    def __init__(self, scene):
        self.scene = scene

    def rays(self, R, x, y):
        """World directions (east, north, up) of camera rays (x, y, 1): R^T (x, y, 1)."""
        R = R.astype(np.float32)
        de = R[0, 0] * x + R[1, 0] * y + R[2, 0]
        dn = R[0, 1] * x + R[1, 1] * y + R[2, 1]
        dz = R[0, 2] * x + R[1, 2] * y + R[2, 2]
        return de, dn, dz

    def terrain_t(self, C, de, dn, dz, t=None, max_iterations=MAX_TERRAIN_ITERATIONS):
        """Ray parameter of the terrain hit: iterates t = (Cz - h(C + t d)) / -dz until the
        hit moves less than 0.1 mm, at most max_iterations times (then it raises unless
        a start `t` was given, which already lies close)."""
        s = self.scene
        inv = np.float32(-1.0) / dz
        cz = np.float32(C[2])
        given = t is not None
        if not given:
            h = float(sc.height_at(s, np.array([C[0]]), np.array([C[1]]))[0])
            t = (cz - np.float32(h)) * inv
        for _ in range(max_iterations):
            e = np.float32(C[0]) + t * de
            n = np.float32(C[1]) + t * dn
            t_new = (cz - sc.height_at(s, e, n)) * inv
            step = float(np.max(np.abs(t_new - t) * np.abs(dz)))
            t = t_new
            if step < 1e-4:
                return t
        if not given:
            raise RuntimeError("terrain intersection did not converge: terrain too steep for the view")
        return t

    def _hit_box(self, i, C, de, dn, dz, t, wall, wall_rgb):
        b = self.scene.buildings
        ux, uy, ha, hb = b["ux"][i], b["uy"][i], b["ha"][i], b["hb"][i]
        ox, oy = C[0] - b["ce"][i], C[1] - b["cn"][i]
        ou, ov = ox * ux + oy * uy, -ox * uy + oy * ux
        du, dv = de * ux + dn * uy, -de * uy + dn * ux
        with np.errstate(divide="ignore", invalid="ignore"):
            ta, tb = (-ha - ou) / du, (ha - ou) / du
            tc, td = (-hb - ov) / dv, (hb - ov) / dv
            te, tf = (b["z0"][i] - C[2]) / dz, (b["z1"][i] - C[2]) / dz
        near = np.stack([np.minimum(ta, tb), np.minimum(tc, td), np.minimum(te, tf)])
        tfar = np.minimum(np.minimum(np.maximum(ta, tb), np.maximum(tc, td)), np.maximum(te, tf))
        face = np.argmax(near, axis=0)
        tnear = np.max(near, axis=0)
        hit = (tnear <= tfar) & (tnear > 0) & (tnear < t)
        if not hit.any():
            return
        t[hit] = tnear[hit]
        is_wall = hit & (face < 2)
        wall[hit] = is_wall[hit]
        if not is_wall.any():
            return
        th = tnear[is_wall]
        fu = face[is_wall] == 0
        sdu, sdv = np.sign(du[is_wall]), np.sign(dv[is_wall])
        # Outward normal of the face the ray entered, and the position along that face.
        nx = np.where(fu, -sdu * ux, sdv * uy)
        ny = np.where(fu, -sdu * uy, -sdv * ux)
        along = np.where(fu, ov + dv[is_wall] * th, ou + du[is_wall] * th)
        up = C[2] + dz[is_wall] * th - b["z0"][i]
        fa = np.mod(along + 50.0, 3.1) / 3.1
        fz = np.mod(up - 0.4, 3.0) / 3.0
        window = (fa > 0.3) & (fa < 0.72) & (fz > 0.35) & (fz < 0.75) & (up > 1.2) & (up < b["z1"][i] - b["z0"][i] - 0.6)
        tone = sc.shade_of_normal(nx, ny, np.zeros_like(nx)) * np.where(window, 0.35, 1.0)
        wall_rgb[is_wall] = (b["wall"][i][None, :] * tone[:, None]).astype(np.float32)

    def _hit_tree(self, i, C, de, dn, dz, t, wall):
        tr = self.scene.trees
        a, bv = tr["a"][i], tr["b"][i]
        ox, oy, oz = (C[0] - tr["ce"][i]) / a, (C[1] - tr["cn"][i]) / a, (C[2] - tr["cz"][i]) / bv
        ex, ey, ez = de / a, dn / a, dz / bv
        A = ex * ex + ey * ey + ez * ez
        B = 2 * (ox * ex + oy * ey + oz * ez)
        cc = ox * ox + oy * oy + oz * oz - 1
        disc = B * B - 4 * A * cc
        ok = disc >= 0
        th = (-B - np.sqrt(np.where(ok, disc, 0))) / (2 * A)
        hit = ok & (th > 0) & (th < t)
        t[hit] = th[hit]
        wall[hit] = False

    def first_hits(self, C, R, x, y):
        """Nearest hits (east, north, up) of the rays (x, y, 1) from centre C with rotation R,
        against the terrain and every box and crown."""
        C = np.asarray(C, np.float64)
        de, dn, dz = self.rays(np.asarray(R, np.float64), x, y)
        t = self.terrain_t(C, de, dn, dz)
        wall = np.zeros(t.shape, bool)
        wall_rgb = np.zeros(t.shape + (3,), np.float32)
        Cf = C.astype(np.float32)
        for i in range(len(self.scene.buildings.get("ce", []))):
            self._hit_box(i, Cf, de, dn, dz, t, wall, wall_rgb)
        for i in range(len(self.scene.trees.get("ce", []))):
            self._hit_tree(i, Cf, de, dn, dz, t, wall)
        return Cf[0] + t * de, Cf[1] + t * dn, Cf[2] + t * dz


class Renderer(SceneGeometry):
    def __init__(self, scene, cam, ss=2, vignetting=0.0):
        super().__init__(scene)
        self.cam, self.ss = cam, ss
        self.vignetting = vignetting
        ws = cam.width * ss
        self.X, self.Y = undistorted_grid(cam, ss)
        self.xlim = (float(self.X.min()), float(self.X.max()))
        self.ylim = (float(self.Y.min()), float(self.Y.max()))
        self.band_rows = max(ss, ((1 << 20) // ws) // ss * ss)
        # Light falloff 1 - s rho^2, rho the distance from the principal point over the
        # half diagonal.
        uu, vv = np.meshgrid(np.arange(cam.width), np.arange(cam.height))
        rho2 = ((uu - cam.cx) ** 2 + (vv - cam.cy) ** 2) / ((cam.width / 2) ** 2 + (cam.height / 2) ** 2)
        self.vignette = (1.0 - vignetting * rho2).astype(np.float32)
        lin = np.arange(65536) / 65535.0
        self.srgb_lut = np.rint(sc.linear_to_srgb(lin) * 255).astype(np.uint8)

    # ------------------------------------------------------------ geometry

    def terrain_t_band(self, C, de, dn, dz):
        """terrain_t over a band: converged on every COARSE-th sub-sample, interpolated,
        then polished at every sub-sample. The interpolated start lies within millimetres
        and each step shrinks the error by the factor slope x tan(off-nadir angle), below
        0.4 for the steepest terrain allowed, so one to three steps suffice."""
        g = COARSE
        h, w = dz.shape
        ri = np.unique(np.r_[np.arange(0, h, g), h - 1])
        ci = np.unique(np.r_[np.arange(0, w, g), w - 1])
        sub = np.ix_(ri, ci)
        tc = self.terrain_t(C, de[sub], dn[sub], dz[sub])
        rows = np.empty((h, ci.size), np.float32)
        for j in range(ci.size):
            rows[:, j] = np.interp(np.arange(h), ri, tc[:, j])
        t = np.empty((h, w), np.float32)
        cols = np.arange(w)
        for i in range(h):
            t[i] = np.interp(cols, ci, rows[i])
        return self.terrain_t(C, de, dn, dz, t=t, max_iterations=MAX_POLISH_ITERATIONS)

    def _region(self, C, R, corners):
        """Sample-grid rectangle (r0, r1, c0, c1) that holds the image of a 3-D box, or None."""
        pc = (corners - C) @ R.T
        if (pc[:, 2] <= 0.05).any():
            return None
        x, y = pc[:, 0] / pc[:, 2], pc[:, 1] / pc[:, 2]
        pad = 0.02
        x0, x1 = max(x.min(), self.xlim[0] - pad), min(x.max(), self.xlim[1] + pad)
        y0, y1 = max(y.min(), self.ylim[0] - pad), min(y.max(), self.ylim[1] + pad)
        if x0 > x1 or y0 > y1:
            return None
        k = np.linspace(0, 1, 9)
        bx = np.concatenate([x0 + (x1 - x0) * k, np.full(9, x1), x0 + (x1 - x0) * k, np.full(9, x0)])
        by = np.concatenate([np.full(9, y0), y0 + (y1 - y0) * k, np.full(9, y1), y0 + (y1 - y0) * k])
        u, v = camlib.project(self.cam, bx, by)
        ss = self.ss
        su, sv = (u + 0.5) * ss - 0.5, (v + 0.5) * ss - 0.5
        hs, ws = self.X.shape
        c0, c1 = max(0, int(np.floor(su.min())) - 2), min(ws, int(np.ceil(su.max())) + 3)
        r0, r1 = max(0, int(np.floor(sv.min())) - 2), min(hs, int(np.ceil(sv.max())) + 3)
        if c0 >= c1 or r0 >= r1:
            return None
        return r0, r1, c0, c1

    def object_regions(self, C, R):
        s = self.scene
        out = []
        b = s.buildings
        for i in range(len(b.get("ce", []))):
            rect = sc._rect(b["ce"][i], b["cn"][i], b["ux"][i], b["uy"][i], b["ha"][i], b["hb"][i])
            corners = np.array([[x, y, z] for x, y in rect for z in (b["z0"][i], b["z1"][i])])
            reg = self._region(C, R, corners)
            if reg:
                out.append(("box", i, reg))
        tr = s.trees
        for i in range(len(tr.get("ce", []))):
            a, bv = tr["a"][i], tr["b"][i]
            corners = np.array([[tr["ce"][i] + sx * a, tr["cn"][i] + sy * a, tr["cz"][i] + sz * bv]
                                for sx in (-1, 1) for sy in (-1, 1) for sz in (-1, 1)])
            reg = self._region(C, R, corners)
            if reg:
                out.append(("tree", i, reg))
        return out

    def cast(self, C, R, r0, r1, regions):
        """Nearest hits of the sub-samples in rows r0..r1: (east, north, wall mask, wall colour)."""
        x, y = self.X[r0:r1], self.Y[r0:r1]
        de, dn, dz = self.rays(R, x, y)
        t = self.terrain_t_band(C, de, dn, dz)
        wall = np.zeros(t.shape, bool)
        wall_rgb = np.zeros(t.shape + (3,), np.float32)
        Cf = np.asarray(C, np.float32)
        for kind, i, (a0, a1, c0, c1) in regions:
            lo, hi = max(a0, r0), min(a1, r1)
            if lo >= hi:
                continue
            sl = (slice(lo - r0, hi - r0), slice(c0, c1))
            tt, ww = t[sl], wall[sl]  # views: the hit tests update them in place
            if kind == "box":
                rgb = wall_rgb[sl]
                self._hit_box(i, Cf, de[sl], dn[sl], dz[sl], tt, ww, rgb)
            else:
                self._hit_tree(i, Cf, de[sl], dn[sl], dz[sl], tt, ww)
        e = Cf[0] + t * de
        n = Cf[1] + t * dn
        return e, n, wall, wall_rgb

    # ------------------------------------------------------------ colour

    def sample_texture(self, e, n):
        """Bilinear texture lookup, linear RGB (..., 3). Weights are sixteenths of a texel
        (a sub-sample lands within 1/32 texel of its exact place)."""
        s = self.scene
        fx = np.minimum(np.maximum((e - s.east0) * np.float32(1 / s.texel_m) - 0.5, 0), s.tex_w - 1.001)
        fy = np.minimum(np.maximum((s.north1 - n) * np.float32(1 / s.texel_m) - 0.5, 0), s.tex_h - 1.001)
        ix, iy = fx.astype(np.int32), fy.astype(np.int32)
        wx = ((fx - ix) * 16 + 0.5).astype(np.uint64)
        wy = ((fy - iy) * 16 + 0.5).astype(np.uint64)
        k = iy * s.tex_w + ix
        flat = s.texture.ravel()
        sixteen = np.uint64(16)
        top = flat[k] * (sixteen - wx) + flat[k + 1] * wx
        bottom = flat[k + s.tex_w] * (sixteen - wx) + flat[k + s.tex_w + 1] * wx
        mixed = top * (sixteen - wy) + bottom * wy
        out = np.empty(e.shape + (3,), np.float32)
        m, sh = np.uint64((1 << sc.TEX_SHIFT) - 1), np.uint64(sc.TEX_SHIFT)
        out[..., 0] = mixed & m
        out[..., 1] = (mixed >> sh) & m
        out[..., 2] = mixed >> (sh + sh)
        out *= np.float32(1.0 / (256 * sc.TEX_SCALE))
        return out

    def render_linear(self, C, R, gain):
        """The photo seen from centre C with rotation R: linear RGB float32 (h, w, 3),
        exposure gain and vignetting applied, not yet clipped."""
        C = np.asarray(C, np.float64)
        R = np.asarray(R, np.float64)
        cam, ss = self.cam, self.ss
        regions = self.object_regions(C, R)
        out = np.empty((cam.height, cam.width, 3), np.float32)
        hs = self.X.shape[0]
        for r0 in range(0, hs, self.band_rows):
            r1 = min(hs, r0 + self.band_rows)
            e, n, wall, wall_rgb = self.cast(C, R, r0, r1, regions)
            rgb = self.sample_texture(e, n)
            if wall.any():
                rgb[wall] = wall_rgb[wall]
            rows = (r1 - r0) // ss
            px = rgb.reshape(rows, ss, cam.width, ss, 3).mean(axis=(1, 3))
            p0 = r0 // ss
            px *= (gain * self.vignette[p0:p0 + rows])[..., None]
            out[p0:p0 + rows] = px
        return out

    def to_srgb8(self, linear):
        """8-bit sRGB of linear RGB, clipped at 1."""
        idx = (np.clip(linear, 0, 1) * 65535 + 0.5).astype(np.uint16)
        return self.srgb_lut[idx]

    def render(self, C, R, gain):
        """An 8-bit sRGB photo (height, width, 3) seen from centre C with rotation R."""
        return self.to_srgb8(self.render_linear(C, R, gain))

    def footprint(self, C, R, per_side=9):
        """Terrain points seen by the image border, clockwise from the top-left corner."""
        cam = self.cam
        k = np.linspace(0, 1, per_side)[:-1]
        w, h = cam.width - 1, cam.height - 1
        u = np.concatenate([k * w, np.full(k.size, w), (1 - k) * w, np.zeros(k.size)])
        v = np.concatenate([np.zeros(k.size), k * h, np.full(k.size, h), (1 - k) * h])
        x, y = camlib.unproject(cam, u, v)
        de, dn, dz = self.rays(np.asarray(R), x.astype(np.float32), y.astype(np.float32))
        t = self.terrain_t(np.asarray(C), de, dn, dz)
        return np.stack([C[0] + t * de, C[1] + t * dn], axis=1)
