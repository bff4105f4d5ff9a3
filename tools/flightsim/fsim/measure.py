"""Local shift between two co-registered grey images by correlation.

`match_window` finds where a window of image A lies in image B: an exhaustive
normalised cross-correlation over the search square (computed with FFTs) gives the
whole-pixel offset, and Lucas-Kanade steps on the spline-interpolated B refine it to a
small fraction of a pixel. Offsets are (columns, rows) such that A(p) ~ B(p + offset).
"""
import numpy as np
from scipy import ndimage

# Smallest ratio of the gradient structure tensor's eigenvalues for a window worth
# measuring; the refinement itself gives up only at half of it, so that a window chosen
# by this rule is not lost to the small change of the ratio at the matched place.
MIN_ISOTROPY = 0.15


def isotropy(img):
    """Smaller over larger eigenvalue of the gradient structure tensor: near 0 for
    texture that varies in one direction only, up to 1 for texture without direction."""
    gy, gx = np.gradient(img)
    m = np.array([[np.sum(gx * gx), np.sum(gx * gy)], [np.sum(gx * gy), np.sum(gy * gy)]])
    ev = np.linalg.eigvalsh(m)
    return float(ev[0] / ev[1]) if ev[1] > 0 else 0.0


def _box_sums(img, h, w):
    """Sums of img over every h x w window, shape (H - h + 1, W - w + 1)."""
    c = np.zeros((img.shape[0] + 1, img.shape[1] + 1))
    c[1:, 1:] = img.cumsum(0).cumsum(1)
    return c[h:, w:] - c[:-h, w:] - c[h:, :-w] + c[:-h, :-w]


def ncc_map(template, search):
    """Normalised cross-correlation of template at every placement inside search."""
    th, tw = template.shape
    t = template - template.mean()
    tn = np.sqrt((t * t).sum())
    fh, fw = search.shape[0] + th, search.shape[1] + tw
    spectrum = np.fft.rfft2(search, (fh, fw)) * np.conj(np.fft.rfft2(t, (fh, fw)))
    corr = np.fft.irfft2(spectrum, (fh, fw))[: search.shape[0] - th + 1, : search.shape[1] - tw + 1]
    n = th * tw
    s1 = _box_sums(search, th, tw)
    s2 = _box_sums(search * search, th, tw)
    var = np.maximum(s2 - s1 * s1 / n, 0)
    den = np.sqrt(var) * tn
    with np.errstate(divide="ignore", invalid="ignore"):
        out = np.where(den > 1e-12, corr / den, 0.0)
    return out


def refine(a, b, offset, iterations=12):
    """Sub-pixel offset of window a (whole array) in image b, starting at `offset`
    (window top-left in b). Returns (offset, ncc) or (None, ncc) when it wanders off."""
    h, w = a.shape
    rows, cols = np.mgrid[0:h, 0:w].astype(np.float64)
    coeffs = ndimage.spline_filter(b, order=3)
    gy_img, gx_img = np.gradient(b)
    an = (a - a.mean()) / max(a.std(), 1e-12)
    off = np.array(offset, np.float64)
    ncc = 0.0
    for _ in range(iterations):
        cr, cc = rows + off[1], cols + off[0]
        if cr.min() < 0 or cc.min() < 0 or cr.max() > b.shape[0] - 1 or cc.max() > b.shape[1] - 1:
            return None, ncc
        bs = ndimage.map_coordinates(coeffs, [cr, cc], order=3, prefilter=False)
        gx = ndimage.map_coordinates(gx_img, [cr, cc], order=1)
        gy = ndimage.map_coordinates(gy_img, [cr, cc], order=1)
        sd = max(bs.std(), 1e-12)
        bn = (bs - bs.mean()) / sd
        ncc = float((an * bn).mean())
        # a_n ~ b_n(p + off + d)  =>  a_n - b_n ~ (grad b / sd) . d
        jx, jy = (gx / sd).ravel(), (gy / sd).ravel()
        r = (an - bn).ravel()
        m = np.array([[jx @ jx, jx @ jy], [jx @ jy, jy @ jy]])
        ev = np.linalg.eigvalsh(m)
        if ev[0] < 0.5 * MIN_ISOTROPY * ev[1]:
            # Texture that varies in one direction only (rows, stripes, a straight edge)
            # pins the shift across it but not along it.
            return None, ncc
        d = np.linalg.solve(m, [jx @ r, jy @ r])
        off += d
        if np.hypot(*d) < 1e-4:
            break
    return off, ncc


def match_window(a, b, search):
    """Offset (dx, dy) of window a inside b, where b is a padded by `search` pixels on
    every side; returns (offset relative to the centred placement, peak ncc) or
    (None, peak ncc) when the best whole-pixel match sits on the search border."""
    m = ncc_map(a, b)
    iy, ix = np.unravel_index(int(np.argmax(m)), m.shape)
    peak = float(m[iy, ix])
    if iy in (0, m.shape[0] - 1) or ix in (0, m.shape[1] - 1):
        return None, peak
    off, ncc = refine(a, b, (ix, iy))
    if off is None or np.max(np.abs(off - (ix, iy))) > 1.0:
        return None, peak
    return off - (search, search), ncc
