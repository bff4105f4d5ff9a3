#pragma once
// The camera and lens model of one photograph.
//
// A direction in the camera frame is given by normalised coordinates (x, y): the ray
// (x, y, 1), x towards the image's right, y downwards, the camera looking along +z. Pixels
// (u, v) are in the full-size photo with whole numbers at pixel centres, (0, 0) the top-left
// pixel. Three mappings compose:
//   L, the lens mapping, from lens-ideal normalised coordinates to pixels (by `kind`);
//   S = selfcal_distort with the model's terms, from lens-ideal coordinates to the true ray;
// so a direction lands on pixel L(S^-1(x, y)) and the ray of pixel (u, v) is S(L^-1(u, v)).
//
// None of the mappings fails: non-finite input or coefficients give NaN or infinity.
// Coefficient lists must have the lengths their kind reads (5 for brown, 6 for dngwarp;
// 0, 2 or 6 self-calibration terms): another length is a caller's bug (InternalError).
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "geo/vec.h"

namespace tsl {

enum class LensKind : uint8_t {
  None = 0,     // pinhole
  Brown = 1,    // Brown-Conrady: coeffs [k1, k2, p1, p2, k3]
  DngWarp = 2,  // DNG WarpRectilinear about dng_center: coeffs [kr0, kr1, kr2, kr3, kt0, kt1]
};

// "none", "brown" or "dngwarp": the names that logs and reports print.
std::string_view lens_kind_name(LensKind kind);

// Memo of CameraModel::monotonic_radius, keyed by everything the radius depends on. A copy
// carries the memo along: the key keeps a stale entry from ever being used.
struct RadiusMemo {
  mutable std::mutex mutex;
  std::vector<uint64_t> key;
  std::optional<double> radius;

  RadiusMemo() = default;
  RadiusMemo(const RadiusMemo& other);
  RadiusMemo& operator=(const RadiusMemo& other);
};

struct CameraModel {
  // Distortion coefficients of `kind`; "none" reads none (a model made without distortion
  // carries seven zeros).
  std::vector<double> coeffs;
  // Self-calibration terms: [] or zeros = none, [k1, k2] radial, [k1, k2, dx, dy, p1, p2]
  // with a principal-point shift (fractions of the focal length) and tangential terms.
  std::vector<double> selfcal{0.0, 0.0};
  uint64_t width = 0;   // full photo size, pixels
  uint64_t height = 0;
  double fx = 0.0;      // focal lengths, pixels
  double fy = 0.0;
  double cx = 0.0;      // principal point, pixels
  double cy = 0.0;
  // Optical centre of the dngwarp model, relative: 0 = first pixel, 1 = last pixel.
  Vec2 dng_center{0.5, 0.5};
  mutable RadiusMemo radius_cache;
  LensKind kind = LensKind::None;

  // Normalised direction to pixel: undoes `terms` (pass the model's own `selfcal`) by ten
  // fixed-point steps, then applies the lens mapping L. Does not allocate.
  Vec2 project(double x, double y, std::span<const double> terms) const;
  // Pixel to lens-ideal normalised coordinates (L^-1: twelve undamped steps, then Newton
  // steps that only ever lower the residual, to 1e-9 px where the lens is invertible);
  // the self-calibration is not applied: selfcal_distort of the result gives the pixel's ray.
  Vec2 unproject(double u, double v) const;
  // The largest normalised radius within which project (with `selfcal`) is trusted to be
  // monotonic, or +infinity. Callers use a direction only when x^2 + y^2 < radius^2.
  // Memoised under the model's own mutex, so concurrent callers on a shared model are safe.
  double monotonic_radius() const;
};

// Applies self-calibration terms (0, 2 or 6 of them) to lens-ideal coordinates. All-zero or
// empty terms return the input unchanged; a NaN term counts as non-zero.
Vec2 selfcal_distort(double x, double y, std::span<const double> terms);

}  // namespace tsl
