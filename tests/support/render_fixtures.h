#pragma once
// Synthetic photos for the render and seam tests: pinhole cameras looking straight down on a
// plane, whose ground footprints are exact rectangles.
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "geo/camera.h"
#include "geo/vec.h"
#include "imageio/image_cache.h"
#include "meta/image_meta.h"
#include "render/render_job.h"

namespace tsl::test {

// A photo record that only has a size.
inline ImageMeta sized_photo(uint64_t width, uint64_t height) {
  ImageMeta m;
  m.width = width;
  m.height = height;
  return m;
}

// Rotation of a camera looking straight down with its image right along east and image down
// along south.
inline Mat3 nadir_rotation() { return {1, 0, 0, 0, -1, 0, 0, 0, -1}; }

// A pinhole photo of width x height pixels that, from `altitude` metres above the plane,
// sees a ground rectangle of ground_e x ground_n metres centred under the camera (pixel
// centres 0 and width - 1 on its edges).
inline ImageMeta nadir_photo(const std::string& name, uint64_t width, uint64_t height, double altitude, double ground_e,
                             double ground_n) {
  ImageMeta m;
  m.path = name;
  m.width = width;
  m.height = height;
  CameraModel cam;
  cam.width = width;
  cam.height = height;
  cam.fx = altitude * static_cast<double>(width - 1) / ground_e;
  cam.fy = altitude * static_cast<double>(height - 1) / ground_n;
  cam.cx = static_cast<double>(width - 1) / 2.0;
  cam.cy = static_cast<double>(height - 1) / 2.0;
  cam.coeffs.assign(7, 0.0);
  m.lens = cam;
  return m;
}

// Linear RGB of the ground at (east, north), each channel in 0..1.
using GroundTexture = std::function<std::array<float, 3>(double east, double north)>;

// A smooth texture that changes along both axes.
inline std::array<float, 3> wavy_ground(double e, double n) {
  return {static_cast<float>(0.45 + 0.35 * std::sin(e / 3.0)), static_cast<float>(0.45 + 0.35 * std::cos(n / 4.0)),
          static_cast<float>(0.3 + 0.2 * std::sin((e + n) / 7.0))};
}

// Photos looking straight down on a textured plane at height 0, decoded in memory by `loader()` instead of
// from files: a photo at scale s is the texture sampled at its decoded pixels' ground points.
struct SyntheticScene {
  std::vector<ImageMeta> images;
  std::vector<Mat3> rotations;
  std::vector<Vec3> positions;
  std::vector<Gain> gains;
  GroundTexture texture = wavy_ground;
  std::map<std::string, std::array<float, 3>> flat;  // photos of one colour, by path
  std::map<std::string, GroundTexture> textures;     // photos that see their own ground, by path
  std::set<std::string> broken;                      // paths whose load fails
  std::shared_ptr<std::atomic<int>> loads = std::make_shared<std::atomic<int>>(0);

  // A photo of width x height pixels seeing [e0, e1] x [n0, n1] from 100 m.
  void add(double e0, double e1, double n0, double n1, uint64_t width = 101, uint64_t height = 81) {
    images.push_back(
        nadir_photo("photo" + std::to_string(images.size()) + ".jpg", width, height, 100.0, e1 - e0, n1 - n0));
    rotations.push_back(nadir_rotation());
    positions.push_back({(e0 + e1) / 2, (n0 + n1) / 2, 100.0});
    gains.push_back({1.0, 1.0, 1.0});
  }

  // A photo of width x height pixels whose ground frame, ground_e x ground_n metres from
  // 100 m, is centred on (east, north) and turned by `yaw_deg` clockwise.
  void add_turned(double east, double north, double ground_e, double ground_n, double yaw_deg, uint64_t width,
                  uint64_t height) {
    images.push_back(
        nadir_photo("photo" + std::to_string(images.size()) + ".jpg", width, height, 100.0, ground_e, ground_n));
    const double a = yaw_deg * 3.14159265358979323846 / 180.0, c = std::cos(a), s = std::sin(a);
    // Rows: image right, image down, view (straight down), in east, north, up.
    rotations.push_back({c, -s, 0, -s, -c, 0, 0, 0, -1});
    positions.push_back({east, north, 100.0});
    gains.push_back({1.0, 1.0, 1.0});
  }

  ImageLoader loader() const {
    return [images = images, rotations = rotations, positions = positions, texture = texture, flat = flat,
            textures = textures, broken = broken,
            loads = loads](const ImageMeta& photo, double scale) -> std::expected<DecodedImage, std::string> {
      ++*loads;
      if (broken.contains(photo.path.string()))
        return std::unexpected("cannot read " + photo.path.string() + ": No such file or directory");
      size_t i = 0;
      while (i < images.size() && images[i].path != photo.path) ++i;
      const CameraModel& cam = *photo.lens;
      const Vec3& pos = positions.at(i);
      DecodedImage d;
      const size_t w = std::max<size_t>(1, static_cast<size_t>(std::lround(static_cast<double>(photo.width) * scale)));
      const size_t h = std::max<size_t>(1, static_cast<size_t>(std::lround(static_cast<double>(photo.height) * scale)));
      d.image = ImageU16(w, h, 3);
      d.scale_x = static_cast<double>(w) / static_cast<double>(photo.width);
      d.scale_y = static_cast<double>(h) / static_cast<double>(photo.height);
      const auto it = flat.find(photo.path.string());
      const auto own = textures.find(photo.path.string());
      const GroundTexture& ground = own != textures.end() ? own->second : texture;
      for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
          const double u = (static_cast<double>(x) + 0.5) / d.scale_x - 0.5;
          const double v = (static_cast<double>(y) + 0.5) / d.scale_y - 0.5;
          // The ray x right + y down + view meets the ground after pos[2] along the view.
          const Mat3& r = rotations.at(i);
          const double rx = (u - cam.cx) / cam.fx, ry = (v - cam.cy) / cam.fy;
          const double e = pos[0] + pos[2] * (rx * r[0] + ry * r[3]);
          const double n = pos[1] + pos[2] * (rx * r[1] + ry * r[4]);
          const std::array<float, 3> c = it != flat.end() ? it->second : ground(e, n);
          for (int k = 0; k < 3; ++k)
            d.image.data[(y * w + x) * 3 + k] =
                static_cast<uint16_t>(std::lround(std::clamp(c[k], 0.0f, 1.0f) * 65535.0f));
        }
      return d;
    };
  }
};

}  // namespace tsl::test
