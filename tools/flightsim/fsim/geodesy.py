"""WGS84 UTM projection and drone attitude matrices.

The forward projection is the third-order Krueger series, the same one the metadata
reader uses, so positions made here land exactly where the reader puts them. The
inverse solves that same forward function by Newton steps instead of using a separate
inverse series, which would disagree with it at the sub-millimetre level.
"""
import math

import numpy as np

WGS84_A = 6378137.0
WGS84_F = 1.0 / 298.257223563
K0 = 0.9996
_N = WGS84_F / (2.0 - WGS84_F)
_E = math.sqrt(WGS84_F * (2.0 - WGS84_F))
_ALPHA = (_N / 2 - 2 * _N**2 / 3 + 5 * _N**3 / 16,
          13 * _N**2 / 48 - 3 * _N**3 / 5,
          61 * _N**3 / 240)
_K0A = K0 * WGS84_A / (1 + _N) * (1 + _N**2 / 4 + _N**4 / 64)
FALSE_EASTING = 500000.0
FALSE_NORTHING_SOUTH = 10000000.0


def _atanh(x):
    return 0.5 * math.log1p(2 * x / (1 - x))


def utm_zone(lon_deg):
    """Zone number 1..60 of a longitude (a NaN gives 1; +180 is kept in zone 60)."""
    if not math.isfinite(lon_deg):
        return 1
    return min(60, int(math.floor((lon_deg + 180.0) / 6.0)) + 1)


def central_meridian(zone):
    return 6 * zone - 183


def epsg_code(zone, south):
    return (32700 if south else 32600) + zone


def utm_forward(lat_deg, lon_deg, zone, south):
    """(easting, northing, meridian convergence in radians) of a WGS84 position."""
    phi = math.radians(lat_deg)
    lam = lon_deg * math.pi / 180 - central_meridian(zone) * math.pi / 180
    s = math.sin(phi)
    t = math.sinh(_atanh(s) - _E * _atanh(_E * s))
    xi_p = math.atan2(t, math.cos(lam))
    eta_p = _atanh(math.sin(lam) / math.sqrt(1 + t * t))
    xi, eta = xi_p, eta_p
    for j, a in enumerate(_ALPHA, start=1):
        xi += a * math.sin(2 * j * xi_p) * math.cosh(2 * j * eta_p)
        eta += a * math.cos(2 * j * xi_p) * math.sinh(2 * j * eta_p)
    easting = _K0A * eta + FALSE_EASTING
    northing = _K0A * xi + (FALSE_NORTHING_SOUTH if south else 0.0)
    gamma = math.atan(math.tan(lam) * math.sin(phi))
    return easting, northing, gamma


def utm_inverse(easting, northing, zone, south):
    """(lat, lon) in degrees whose `utm_forward` is (easting, northing) to below 1e-7 m."""
    # Start from a spherical transverse Mercator guess; Newton then lands on the series.
    x = (easting - FALSE_EASTING) / _K0A
    y = (northing - (FALSE_NORTHING_SOUTH if south else 0.0)) / _K0A
    lat = math.degrees(math.asin(math.sin(y) / math.cosh(x)))
    lon = central_meridian(zone) + math.degrees(math.atan2(math.sinh(x), math.cos(y)))
    step = 1e-6
    for _ in range(20):
        e0, n0, _g = utm_forward(lat, lon, zone, south)
        de, dn = easting - e0, northing - n0
        if abs(de) < 1e-8 and abs(dn) < 1e-8:
            break
        e_lat, n_lat, _g = utm_forward(lat + step, lon, zone, south)
        e_lon, n_lon, _g = utm_forward(lat, lon + step, zone, south)
        j = np.array([[(e_lat - e0) / step, (e_lon - e0) / step],
                      [(n_lat - n0) / step, (n_lon - n0) / step]])
        d_lat, d_lon = np.linalg.solve(j, [de, dn])
        lat += d_lat
        lon += d_lon
    return lat, lon


def round_half_even(x):
    return float(round(x))  # Python's round() already sends ties to the even neighbour


def rotation_from_angles(yaw_deg, pitch_deg, roll_deg):
    """World-to-camera rotation from drone angles.

    Rows: the image's right, down and viewing directions in local (east, north, up).
    Yaw is clockwise from grid north and gives the direction of the image's top;
    pitch -90 looks straight down; roll turns about the viewing direction.
    """
    p, t, r = (math.radians(v) for v in (yaw_deg, pitch_deg, roll_deg))
    cp, sp, ct, st, cr, sr = math.cos(p), math.sin(p), math.cos(t), math.sin(t), math.cos(r), math.sin(r)
    return np.array([
        [cp * cr + sr * sp * st, sr * cp * st - sp * cr, -sr * ct],
        [sp * st * cr - cp * sr, cp * st * cr + sp * sr, -ct * cr],
        [sp * ct, cp * ct, st],
    ])
