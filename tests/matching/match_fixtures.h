#pragma once
// A synthetic nadir flight for the matching tests: photos in a row along east over ground with
// relief, each seeing the ground points in its frame as keypoints whose descriptors are the
// point's own plus a little noise, among clutter keypoints seen by one photo only. Thumbnails
// are flat colours, so every pair's colour ratios are known.
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "matching/pair_selection.h"
#include "meta/image_meta.h"
#include "sift/feature_set.h"

namespace tsl::test {

struct SyntheticFlight {
  std::vector<ImageMeta> images;
  std::vector<Mat3> rotations;  // metadata poses (here exact)
  std::vector<Vec3> positions;
  std::vector<FeatureSet> features;
  std::vector<PhotoPair> pairs;       // every pair (i, i + 1) and (i, i + 2)
  std::vector<std::array<double, 3>> colour;  // each photo's flat thumbnail colour
};

inline constexpr double FLIGHT_HEIGHT_M = 40.0;
inline constexpr double FLIGHT_STEP_M = 15.0;
inline constexpr uint64_t FLIGHT_W = 2000, FLIGHT_H = 1500;
inline constexpr double FLIGHT_F = 1500.0;

// Image right = east, down = south, looking down.
inline Mat3 nadir_rotation() { return {1, 0, 0, 0, -1, 0, 0, 0, -1}; }

inline CameraModel flight_camera() {
  CameraModel m;
  m.width = FLIGHT_W;
  m.height = FLIGHT_H;
  m.fx = m.fy = FLIGHT_F;
  m.cx = (FLIGHT_W - 1) / 2.0;
  m.cy = (FLIGHT_H - 1) / 2.0;
  m.coeffs.assign(7, 0.0);
  return m;
}

inline SyntheticFlight make_flight(size_t photos, uint64_t seed, size_t ground_points = 1500,
                                   size_t clutter = 300) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0), noise(-0.01, 0.01);
  SyntheticFlight f;
  const double half_w = FLIGHT_W / 2.0 / FLIGHT_F * FLIGHT_HEIGHT_M, half_h = FLIGHT_H / 2.0 / FLIGHT_F * FLIGHT_HEIGHT_M;
  struct Ground {
    double e, n, z;
    std::vector<float> desc;
  };
  auto random_desc = [&] {
    std::vector<float> d(128);
    for (float& v : d) v = static_cast<float>(std::round(unit(rng) * 1024.0) / 1024.0);
    return d;
  };
  std::vector<Ground> ground;
  const double east_span = FLIGHT_STEP_M * static_cast<double>(photos - 1) + 2 * half_w;
  for (size_t k = 0; k < ground_points; ++k)
    ground.push_back({-half_w + unit(rng) * east_span, -half_h + unit(rng) * 2 * half_h, 3.0 * (unit(rng) - 0.5),
                      random_desc()});
  for (size_t p = 0; p < photos; ++p) {
    ImageMeta meta;
    meta.path = "synthetic_" + std::to_string(p) + ".jpg";
    meta.lens = flight_camera();
    meta.width = FLIGHT_W;
    meta.height = FLIGHT_H;
    f.images.push_back(meta);
    f.rotations.push_back(nadir_rotation());
    const Vec3 pos = {FLIGHT_STEP_M * static_cast<double>(p), 0.0, FLIGHT_HEIGHT_M};
    f.positions.push_back(pos);
    FeatureSet fs;
    auto add = [&](Vec2 px, const std::vector<float>& desc) {
      fs.kp.push_back(px);
      fs.kp_m.push_back(px);
      for (float v : desc) fs.desc.push_back(std::clamp(v + static_cast<float>(noise(rng)), 0.0f, 1.0f));
    };
    for (const Ground& g : ground) {
      // Nadir pinhole: x to the east, y to the south.
      const double depth = pos[2] - g.z;
      const Vec2 px = {FLIGHT_F * (g.e - pos[0]) / depth + (FLIGHT_W - 1) / 2.0,
                       FLIGHT_F * -(g.n - pos[1]) / depth + (FLIGHT_H - 1) / 2.0};
      if (px.x < 0 || px.y < 0 || px.x > FLIGHT_W - 1 || px.y > FLIGHT_H - 1) continue;
      add(px, g.desc);
    }
    for (size_t k = 0; k < clutter; ++k) add({unit(rng) * (FLIGHT_W - 1), unit(rng) * (FLIGHT_H - 1)}, random_desc());
    fs.thumb_w = 480;
    fs.thumb_h = 360;
    const std::array<double, 3> c = {0.2 + 0.02 * static_cast<double>(p), 0.3, 0.4 - 0.03 * static_cast<double>(p)};
    f.colour.push_back(c);
    for (size_t px = 0; px < 480 * 360; ++px) fs.thumb.insert(fs.thumb.end(), {float(c[0]), float(c[1]), float(c[2])});
    fs.tsc = {480.0 / FLIGHT_W, 360.0 / FLIGHT_H};
    fs.msc = {1.0, 1.0};
    fs.work_w = FLIGHT_W;
    fs.work_h = FLIGHT_H;
    f.features.push_back(std::move(fs));
  }
  for (size_t i = 0; i < photos; ++i)
    for (size_t j = i + 1; j < std::min(photos, i + 3); ++j) f.pairs.push_back({i, j});
  return f;
}

}  // namespace tsl::test
