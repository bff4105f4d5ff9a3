"""Pinhole camera with Brown-Conrady distortion, in the metadata reader's conventions.

Normalised coordinates (x, y) name the ray (x, y, 1) in the camera frame: x to the
image's right, y down, z along the view. Pixel coordinates have whole numbers at pixel
centres, (0, 0) being the centre of the top-left pixel. The lens maps ideal normalised
coordinates to the recorded pixel:
    r2 = x^2 + y^2, rad = 1 + k1 r2 + k2 r2^2 + k3 r2^3
    x' = x rad + 2 p1 x y + p2 (r2 + 2 x^2),  y' = y rad + p1 (r2 + 2 y^2) + 2 p2 x y
    u = fx x' + cx,  v = fy y' + cy
"""
from dataclasses import dataclass, field

import numpy as np


@dataclass
class Camera:
    width: int = 0
    height: int = 0
    fx: float = 0.0
    fy: float = 0.0
    cx: float = 0.0
    cy: float = 0.0
    # [k1, k2, p1, p2, k3]; all zero is a plain pinhole.
    coeffs: list = field(default_factory=lambda: [0.0] * 5)

    def to_json(self):
        kind = "brown" if any(c != 0 for c in self.coeffs) else "none"
        return {"width": self.width, "height": self.height, "fx": self.fx, "fy": self.fy,
                "cx": self.cx, "cy": self.cy, "kind": kind, "coeffs": list(self.coeffs)}


def distort(cam, x, y):
    """Ideal normalised coordinates to lens-distorted normalised coordinates."""
    k1, k2, p1, p2, k3 = cam.coeffs
    r2 = x * x + y * y
    rad = 1 + r2 * (k1 + r2 * (k2 + r2 * k3))
    xd = x * rad + 2 * p1 * x * y + p2 * (r2 + 2 * x * x)
    yd = y * rad + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y
    return xd, yd


def project(cam, x, y):
    """Ideal normalised coordinates to pixels."""
    xd, yd = distort(cam, x, y)
    return cam.fx * xd + cam.cx, cam.fy * yd + cam.cy


def unproject(cam, u, v, iterations=8):
    """Pixels to ideal normalised coordinates (float64 arrays), by Newton steps.

    Newton with the exact Jacobian converges quadratically, so a handful of steps
    reaches machine precision for any lens that is monotonic over the image.
    """
    k1, k2, p1, p2, k3 = cam.coeffs
    xd = (np.asarray(u, dtype=np.float64) - cam.cx) / cam.fx
    yd = (np.asarray(v, dtype=np.float64) - cam.cy) / cam.fy
    x, y = xd.copy(), yd.copy()
    if not any(c != 0 for c in cam.coeffs):
        return x, y
    for _ in range(iterations):
        r2 = x * x + y * y
        rad = 1 + r2 * (k1 + r2 * (k2 + r2 * k3))
        drad = k1 + r2 * (2 * k2 + 3 * k3 * r2)  # d rad / d r2
        fxv = x * rad + 2 * p1 * x * y + p2 * (r2 + 2 * x * x) - xd
        fyv = y * rad + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y - yd
        j11 = rad + 2 * x * x * drad + 2 * p1 * y + 6 * p2 * x
        j12 = 2 * x * y * drad + 2 * p1 * x + 2 * p2 * y
        j21 = 2 * x * y * drad + 2 * p1 * x + 2 * p2 * y
        j22 = rad + 2 * y * y * drad + 6 * p1 * y + 2 * p2 * x
        det = j11 * j22 - j12 * j21
        x = x - (j22 * fxv - j12 * fyv) / det
        y = y - (j11 * fyv - j21 * fxv) / det
    return x, y
