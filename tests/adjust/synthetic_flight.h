#pragma once
// Synthetic mapping flights for the adjustment's tests and benchmarks: a lawnmower grid of
// nadir photos over a plane or gentle relief, true poses and lens terms, metadata poses with
// GNSS and attitude noise, and tie points made by projecting ground points into every pair of
// overlapping photos. No images are involved.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "adjust/residual_model.h"
#include "geo/camera.h"
#include "logx.h"
#include "matching/pair_match.h"
#include "meta/image_meta.h"

namespace tsl::test {

struct FlightSpec {
  size_t legs = 3;
  size_t photos_per_leg = 5;
  double altitude_m = 70.0;
  double along_m = 22.0;   // spacing of photos along a leg
  double across_m = 30.0;  // spacing of legs
  uint64_t width = 1200;
  uint64_t height = 900;
  double fx = 1000.0;
  bool relief = false;               // ground z = a few metres of hills instead of 0
  std::vector<double> true_selfcal;  // the lens terms the photos really have ([] = none)
  // Metadata position error: one bias common to the flight (what a GNSS receiver without
  // corrections mostly shows) plus independent noise per photo.
  double gps_bias_m = 1.5;    // horizontal, each axis
  double alt_bias_m = 2.5;
  double gps_noise_m = 0.1;   // horizontal, each axis
  double alt_noise_m = 0.1;
  double attitude_sigma_deg = 0.5;   // metadata rotation noise about each axis
  double jitter_deg = 1.0;           // true scatter of the camera about nadir
  size_t ties_per_pair = 40;         // ground points tried per overlapping pair
  double pixel_noise = 0.3;          // tie noise, pixels
  uint64_t seed = 1;
};

struct Flight {
  std::vector<ImageMeta> images;
  std::vector<Mat3> true_rotations;
  std::vector<Vec3> true_positions;
  std::vector<Mat3> meta_rotations;
  std::vector<Vec3> meta_positions;
  std::vector<PairMatch> ties;
};

inline double ground_height(const FlightSpec& s, double e, double n) {
  if (!s.relief) return 0.0;
  return 4.0 * std::sin(e / 35.0) * std::cos(n / 45.0) + 0.03 * e;
}

inline Mat3 mat_mul(const Mat3& a, const Mat3& b) {
  Mat3 c{};
  for (size_t i = 0; i < 3; ++i)
    for (size_t j = 0; j < 3; ++j)
      for (size_t k = 0; k < 3; ++k) c[3 * i + j] += a[3 * i + k] * b[3 * k + j];
  return c;
}

// Nadir world-to-camera rotation for a heading (0 = image top towards north).
inline Mat3 nadir_rotation(double yaw_rad) {
  const double c = std::cos(yaw_rad), s = std::sin(yaw_rad);
  // rows: image right, image down, viewing direction (down)
  return {c, -s, 0.0, -s, -c, 0.0, 0.0, 0.0, -1.0};
}

inline Vec2 project_point(const Mat3& r, const Vec3& c, const Vec3& x) {
  const double d[3] = {x[0] - c[0], x[1] - c[1], x[2] - c[2]};
  const double cx = r[0] * d[0] + r[1] * d[1] + r[2] * d[2];
  const double cy = r[3] * d[0] + r[4] * d[1] + r[5] * d[2];
  const double cz = r[6] * d[0] + r[7] * d[1] + r[8] * d[2];
  return {cx / cz, cy / cz};
}

inline Flight make_flight(const FlightSpec& s) {
  std::mt19937_64 rng(s.seed);
  std::normal_distribution<double> unit(0.0, 1.0);
  const double deg = std::numbers::pi / 180.0;
  Flight f;
  const Vec3 bias{unit(rng) * s.gps_bias_m, unit(rng) * s.gps_bias_m, unit(rng) * s.alt_bias_m};
  for (size_t leg = 0; leg < s.legs; ++leg) {
    for (size_t k = 0; k < s.photos_per_leg; ++k) {
      const size_t along = leg % 2 == 0 ? k : s.photos_per_leg - 1 - k;
      const double e = static_cast<double>(leg) * s.across_m;
      const double n = static_cast<double>(along) * s.along_m;
      const double yaw = leg % 2 == 0 ? 0.0 : std::numbers::pi;
      const Mat3 jitter = rotation_increment(unit(rng) * s.jitter_deg * deg, unit(rng) * s.jitter_deg * deg,
                                             unit(rng) * s.jitter_deg * deg);
      const Mat3 r = mat_mul(jitter, nadir_rotation(yaw));
      const Vec3 c{e + unit(rng) * 0.3, n + unit(rng) * 0.3, s.altitude_m + unit(rng) * 0.5};
      f.true_rotations.push_back(r);
      f.true_positions.push_back(c);
      const Mat3 noise = rotation_increment(unit(rng) * s.attitude_sigma_deg * deg,
                                            unit(rng) * s.attitude_sigma_deg * deg,
                                            unit(rng) * s.attitude_sigma_deg * deg);
      f.meta_rotations.push_back(mat_mul(noise, r));
      f.meta_positions.push_back({c[0] + bias[0] + unit(rng) * s.gps_noise_m, c[1] + bias[1] + unit(rng) * s.gps_noise_m,
                                  c[2] + bias[2] + unit(rng) * s.alt_noise_m});
      ImageMeta m;
      m.path = "SIM_" + std::to_string(f.images.size() + 1) + ".JPG";
      m.model = "SIM1";
      m.width = s.width;
      m.height = s.height;
      m.focal_mm = 8.8;
      CameraModel lens;
      lens.width = s.width;
      lens.height = s.height;
      lens.fx = lens.fy = s.fx;
      lens.cx = (static_cast<double>(s.width) - 1) / 2;
      lens.cy = (static_cast<double>(s.height) - 1) / 2;
      lens.coeffs.assign(7, 0.0);
      lens.selfcal.assign(s.true_selfcal.empty() ? 2 : s.true_selfcal.size(), 0.0);
      m.lens = lens;
      f.images.push_back(std::move(m));
    }
  }
  // The pixel where a ground point lands in photo p, through the true pose and lens terms;
  // nothing when it falls outside the frame.
  auto pixel = [&](size_t p, const Vec3& x, Vec2& out) {
    const Vec2 ray = project_point(f.true_rotations[p], f.true_positions[p], x);
    const CameraModel& lens = *f.images[p].lens;
    out = lens.project(ray.x, ray.y, s.true_selfcal);
    return out.x >= 0 && out.y >= 0 && out.x <= static_cast<double>(s.width - 1) &&
           out.y <= static_cast<double>(s.height - 1);
  };
  const size_t n = f.images.size();
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j) {
      const Vec3& ci = f.true_positions[i];
      const Vec3& cj = f.true_positions[j];
      const double half_w = 0.5 * static_cast<double>(s.width) / s.fx * s.altitude_m;
      const double half_h = 0.5 * static_cast<double>(s.height) / s.fx * s.altitude_m;
      const double lo_e = std::max(ci[0], cj[0]) - half_w, hi_e = std::min(ci[0], cj[0]) + half_w;
      const double lo_n = std::max(ci[1], cj[1]) - half_h, hi_n = std::min(ci[1], cj[1]) + half_h;
      if (hi_e - lo_e < 5.0 || hi_n - lo_n < 5.0) continue;
      std::uniform_real_distribution<double> ue(lo_e, hi_e), un(lo_n, hi_n);
      PairMatch m;
      m.i = i;
      m.j = j;
      for (size_t k = 0; k < s.ties_per_pair; ++k) {
        const double e = ue(rng), no = un(rng);
        const Vec3 x{e, no, ground_height(s, e, no)};
        Vec2 a, b;
        if (!pixel(i, x, a) || !pixel(j, x, b)) continue;
        m.a.push_back({a.x + unit(rng) * s.pixel_noise, a.y + unit(rng) * s.pixel_noise});
        m.b.push_back({b.x + unit(rng) * s.pixel_noise, b.y + unit(rng) * s.pixel_noise});
      }
      m.n = m.a.size();
      m.a_all = m.a;
      m.b_all = m.b;
      if (m.n >= 8) f.ties.push_back(std::move(m));
    }
  }
  return f;
}

// The flight's problem as the adjustment would set it up with one camera group: metadata
// poses as the prior, tie scale 1.5 (working scale 1), the flight's GNSS and attitude
// sigmas, and with self-calibration `terms` lens terms under a 0.1 / 0.01 prior.
inline AdjustProblem flight_problem(const Flight& f, bool selfcal, size_t terms) {
  AdjustProblem p;
  p.photo_count = f.images.size();
  p.group_count = 1;
  p.terms_per_group = terms;
  p.selfcal = selfcal;
  p.first_height = 6 * p.photo_count + 1 + (selfcal ? terms : 0);
  p.photo_group.assign(p.photo_count, 0);
  for (const ImageMeta& m : f.images) p.focal.push_back(m.lens->fx);
  p.rotations0 = f.meta_rotations;
  p.positions0 = f.meta_positions;
  for (const PairMatch& m : f.ties)
    for (size_t g = 0; g < m.n; ++g) {
      p.tie_photo_a.push_back(m.i);
      p.tie_photo_b.push_back(m.j);
      p.obs_a.push_back(f.images[m.i].lens->unproject(m.a[g].x, m.a[g].y));
      p.obs_b.push_back(f.images[m.j].lens->unproject(m.b[g].x, m.b[g].y));
      p.tie_scale.push_back(1.5);
    }
  p.pose_sigma = {1.5, 1.5, 2.5, 0.0087, 0.0087, 0.05};
  for (size_t l = 0; l < (selfcal ? terms : 0); ++l) {
    p.lens_prior_mean.push_back(0.0);
    p.lens_prior_sigma.push_back(l < 2 ? 0.1 : 0.01);
  }
  return p;
}

// The lines `body` logs on this thread, captured instead of printed.
inline std::vector<std::string> capture_log(const std::function<void()>& body) {
  auto lines = std::make_shared<CaptureList>();
  set_log_capture(lines);
  body();
  set_log_capture(nullptr);
  return lines->lines;
}

}  // namespace tsl::test
