"""The raw twin of a photo: a DNG with a Bayer mosaic, as drones write beside the JPEG.

The file is one uncompressed 16-bit CFA image (RGGB) with the DNG colour tags set so
that the camera's colour space is linear sRGB, and an OpcodeList3 that describes the
lens: a WarpRectilinear equal to the photo's Brown distortion and a FixVignetteRadial
that undoes its light falloff. EXIF and GPS tags are added by exiftool afterwards.
"""
import math
import struct

import numpy as np
import tifffile

BLACK_LEVEL = 64
WHITE_LEVEL = 4095          # 12-bit sensor data in 16-bit samples
CFA_RGGB = (0, 1, 1, 2)
DNG_VERSION = (1, 4, 0, 0)
OPCODE_DNG_VERSION = 0x01030000
OPCODE_OPTIONAL = 1
# XYZ (D65) to linear sRGB: as ColorMatrix1 it makes the camera space linear sRGB.
XYZ_TO_SRGB = ((3.2404542, -1.5371385, -0.4985314),
               (-0.9692660, 1.8760108, 0.0415560),
               (0.0556434, -0.2040259, 1.0572252))
ILLUMINANT_D65 = 21
VIGNETTE_TERMS = 5


def warp_rectilinear(cam):
    """(kr0, kr1, kr2, kr3, kt0, kt1, centre x, centre y) equal to the Brown lens of cam.

    With the warp centred on the principal point, a radius in warp units is the
    normalised radius times s = m / f (m the distance from the centre to the farthest
    corner), so each radial term takes the power of s of its degree and the tangential
    terms one factor s."""
    if cam.fx != cam.fy:
        raise ValueError("a rectilinear warp needs fx == fy")
    w1, h1 = cam.width - 1, cam.height - 1
    bx, by = cam.cx, cam.cy
    m = math.hypot(max(bx, w1 - bx), max(by, h1 - by))
    s = m / cam.fx
    k1, k2, p1, p2, k3 = cam.coeffs
    return (1.0, k1 * s ** 2, k2 * s ** 4, k3 * s ** 6, p1 * s, p2 * s, bx / w1, by / h1)


def vignette_radial(cam, a):
    """(k0..k4, centre x, centre y): the gain 1 + sum k_i r^(2i+2) that undoes the falloff
    1 - a rho^2 (rho over the half diagonal, r over the distance to the farthest corner),
    as its geometric series; the first omitted term is (a t)^6 < 1e-4 for a <= 0.2."""
    w1, h1 = cam.width - 1, cam.height - 1
    rmax2 = max(cam.cx, w1 - cam.cx) ** 2 + max(cam.cy, h1 - cam.cy) ** 2
    t = a * rmax2 / ((cam.width / 2) ** 2 + (cam.height / 2) ** 2)
    return tuple(t ** (i + 1) for i in range(VIGNETTE_TERMS)) + (cam.cx / w1, cam.cy / h1)


def camera_from_metadata(cam):
    """The camera a reader derives from the DNG: the calibrated focal length, the warp's
    centre as principal point and the warp as lens model."""
    warp = warp_rectilinear(cam)
    return dict(width=cam.width, height=cam.height, kind="dngwarp", fx=cam.fx, fy=cam.fy,
                cx=warp[6] * (cam.width - 1), cy=warp[7] * (cam.height - 1), coeffs=list(warp[:6]),
                dng_center=list(warp[6:]))


def opcode_list(cam, vignetting):
    """OpcodeList3 bytes (always big-endian)."""
    ops = []
    warp = warp_rectilinear(cam)
    ops.append((1, struct.pack(">I", 1) + struct.pack(">6d", *warp[:6]) + struct.pack(">2d", *warp[6:])))
    if vignetting > 0:
        ops.append((3, struct.pack(">7d", *vignette_radial(cam, vignetting))))
    out = struct.pack(">I", len(ops))
    for code, params in ops:
        out += struct.pack(">IIII", code, OPCODE_DNG_VERSION, OPCODE_OPTIONAL, len(params)) + params
    return out


def _srational(values, den=1_000_000):
    out = []
    for v in values:
        out += [int(round(v * den)), den]
    return out


def write(path, linear_rgb, cam, vignetting, model):
    """Writes the DNG of a rendered photo (linear RGB float, (h, w, 3)); tags other than
    the image's and the DNG's own are added later."""
    h, w, _ = linear_rgb.shape
    cfa = np.empty((h, w), np.float32)
    cfa[0::2, 0::2] = linear_rgb[0::2, 0::2, 0]
    cfa[0::2, 1::2] = linear_rgb[0::2, 1::2, 1]
    cfa[1::2, 0::2] = linear_rgb[1::2, 0::2, 1]
    cfa[1::2, 1::2] = linear_rgb[1::2, 1::2, 2]
    raw = np.clip(np.rint(BLACK_LEVEL + cfa * (WHITE_LEVEL - BLACK_LEVEL)), 0, WHITE_LEVEL).astype(np.uint16)
    matrix = [v for row in XYZ_TO_SRGB for v in row]
    ops = opcode_list(cam, vignetting)
    tags = [
        (254, 4, 1, 0, True),                                  # NewSubfileType: the main image
        (274, 3, 1, 1, True),                                  # Orientation
        (33421, 3, 2, (2, 2), True),                           # CFARepeatPatternDim
        (33422, 1, 4, CFA_RGGB, True),                         # CFAPattern
        (50706, 1, 4, DNG_VERSION, True),                      # DNGVersion
        (50707, 1, 4, (1, 1, 0, 0), True),                     # DNGBackwardVersion
        (50708, 2, 0, model, True),                            # UniqueCameraModel
        (50714, 3, 1, BLACK_LEVEL, True),                      # BlackLevel
        (50717, 3, 1, WHITE_LEVEL, True),                      # WhiteLevel
        (50721, 10, 9, _srational(matrix), True),              # ColorMatrix1
        (50778, 3, 1, ILLUMINANT_D65, True),                   # CalibrationIlluminant1
        (50728, 5, 3, (1, 1, 1, 1, 1, 1), True),               # AsShotNeutral
        (51022, 7, len(ops), ops, True),                       # OpcodeList3
    ]
    tifffile.imwrite(path, raw, photometric=32803, compression=None, software=False,
                     metadata=None, extratags=tags)
