"""Independent numpy re-implementation of the adjustment's residual vector, and a scipy
least-squares solve of the planar problem with the same robust loss.

Usage: ba_oracle.py problem.json  ->  prints {"residual_rel_diff": ..., "scipy_cost": ...}

problem.json holds "planar" and "relief" problems (with their parameter vectors and masks)
and our residual vectors "r_planar" and "r_relief" at those vectors.
"""
import json
import sys

import numpy as np
from scipy.optimize import least_squares


def rodrigues(w):
    theta = np.sqrt(np.sum(w * w, axis=1))
    small = theta < 1e-9
    safe = np.where(small, 1.0, theta)
    a = np.where(small, 1.0, np.sin(safe) / safe)
    b = np.where(small, 0.5, (1.0 - np.cos(safe)) / (safe * safe))
    w0, w1, w2 = w[:, 0], w[:, 1], w[:, 2]
    r = np.empty((len(w), 3, 3))
    r[:, 0, 0] = 1 - b * (w1 * w1 + w2 * w2)
    r[:, 0, 1] = b * w0 * w1 - a * w2
    r[:, 0, 2] = b * w0 * w2 + a * w1
    r[:, 1, 0] = b * w0 * w1 + a * w2
    r[:, 1, 1] = 1 - b * (w0 * w0 + w2 * w2)
    r[:, 1, 2] = b * w1 * w2 - a * w0
    r[:, 2, 0] = b * w0 * w2 - a * w1
    r[:, 2, 1] = b * w1 * w2 + a * w0
    r[:, 2, 2] = 1 - b * (w0 * w0 + w1 * w1)
    return r


def distort(x, y, terms):
    """selfcal_distort for one set of terms per point (rows of `terms`); all-zero rows leave
    the point as it is."""
    r2 = x * x + y * y
    s = (terms[:, 1] * r2 + terms[:, 0]) * r2 + 1.0
    if terms.shape[1] == 2:
        xs, ys = x * s, y * s
    else:
        k1, k2, dx, dy, p1, p2 = terms.T
        xs = x * s + p2 * (2.0 * x * x + r2) + 2.0 * p1 * x * y + dx
        ys = y * s + 2.0 * p2 * x * y + p1 * (2.0 * y * y + r2) + dy
    zero = ~np.any(terms != 0, axis=1)
    return np.where(zero, x, xs), np.where(zero, y, ys)


def residuals(p, x, mask):
    n = int(p["photo_count"])
    p0 = int(p["first_height"])
    t_per = int(p["terms_per_group"])
    groups = np.array(p["photo_group"], dtype=int)
    focal = np.array(p["focal"])
    r0 = np.array(p["rotations0"]).reshape(n, 3, 3)
    c0 = np.array(p["positions0"]).reshape(n, 3)
    rot = np.einsum("nij,njk->nik", rodrigues(x[:6 * n].reshape(n, 6)[:, 3:]), r0)
    pos = c0 + x[:6 * n].reshape(n, 6)[:, :3]
    ground = x[6 * n]
    lens = x[6 * n + 1:p0] if p["selfcal"] else np.zeros(int(p["group_count"]) * t_per)
    active = np.nonzero(np.array(p["mask"] if mask is None else mask) == 1)[0]
    ta = np.array(p["tie_photo_a"], dtype=int)[active]
    tb = np.array(p["tie_photo_b"], dtype=int)[active]
    h = x[p0 + active] if len(x) > p0 else np.full(len(active), ground)

    def ground_points(photos, obs):
        px, py = obs[:, 0], obs[:, 1]
        if p["selfcal"]:
            px, py = distort(px, py, lens.reshape(-1, t_per)[groups[photos]])
        r = rot[photos]
        de = r[:, 0, 0] * px + r[:, 1, 0] * py + r[:, 2, 0]
        dn = r[:, 0, 1] * px + r[:, 1, 1] * py + r[:, 2, 1]
        dz = r[:, 0, 2] * px + r[:, 1, 2] * py + r[:, 2, 2]
        dz = np.where(np.abs(dz) < 1e-6, -1e-6, dz)
        lam = (h - pos[photos, 2]) / dz
        return pos[photos, 0] + lam * de, pos[photos, 1] + lam * dn

    obs_a = np.array(p["obs_a"]).reshape(-1, 2)[active]
    obs_b = np.array(p["obs_b"]).reshape(-1, 2)[active]
    ea, na = ground_points(ta, obs_a)
    eb, nb = ground_points(tb, obs_b)
    scale = np.array(p["tie_scale"])[active]
    sigma = 0.5 * scale * (np.maximum(pos[ta, 2] - h, 0.5) / focal[ta] + np.maximum(pos[tb, 2] - h, 0.5) / focal[tb])
    ties = np.empty(2 * len(active))
    ties[0::2] = (ea - eb) / sigma
    ties[1::2] = (na - nb) / sigma
    parts = [ties, (x[:6 * n].reshape(n, 6) / np.array(p["pose_sigma"])).ravel(), [ground / p["sigma_ground"]]]
    if p["selfcal"]:
        parts.append((x[6 * n + 1:p0] - np.array(p["lens_prior_mean"])) / np.array(p["lens_prior_sigma"]))
    if len(x) > p0:
        ref = p.get("relief_ref_height", 0.0)
        if ref > 0:
            all_a = np.array(p["tie_photo_a"], dtype=int)
            all_b = np.array(p["tie_photo_b"], dtype=int)
            above = np.maximum(0.5 * (pos[all_a, 2] + pos[all_b, 2]) - ground, 0.5)
            parts.append((x[p0:] - ground) * ref / (p["sigma_relief"] * above))
        else:
            parts.append((x[p0:] - ground) / p["sigma_relief"])
    return np.concatenate(parts)


def main():
    doc = json.load(open(sys.argv[1]))
    worst = 0.0
    for stage in ("planar", "relief"):
        p = doc[stage]
        ours = np.array(doc["r_" + stage])
        theirs = residuals(p, np.array(p["params"]), None)
        if ours.shape != theirs.shape:
            print(json.dumps({"error": "lengths %d vs %d" % (len(ours), len(theirs))}))
            return 1
        # Relative to the vector: a tie residual near zero is the difference of two ground
        # coordinates of some 100 m, so its own last digits carry that magnitude's rounding.
        worst = max(worst, float(np.max(np.abs(ours - theirs)) / np.max(np.abs(theirs))))
    p = doc["planar"]
    x0 = np.zeros(int(p["first_height"]))
    fit = least_squares(lambda x: residuals(p, x, None), x0, loss="soft_l1", f_scale=3.0, method="trf",
                        xtol=1e-12, ftol=1e-12, gtol=1e-12, max_nfev=400)
    print(json.dumps({"residual_rel_diff": worst, "scipy_cost": float(fit.cost)}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
