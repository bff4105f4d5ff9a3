#pragma once
// A generated flight of the flight simulator (tools/flightsim) read back with its true poses
// and camera, so that the renderers can be judged against the true orthophoto. Header-only:
// the render benchmark uses it too.
#include <cstdlib>
#include <expected>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "geo/vec.h"
#include "meta/image_meta.h"
#include "render/render_job.h"
#include "util/json.h"

namespace tsl::test {

struct TruthFlight {
  std::filesystem::path dir;
  std::vector<ImageMeta> images;           // the JPEG photos with the true camera model
  std::vector<Mat3> rotations;             // true world-to-camera rotations
  std::vector<Vec3> positions;             // true positions, local metres
  std::vector<Gain> exposure_gains;  // 1 / the photo's exposure gain: undoes exposure
  double origin_e = 0, origin_n = 0;
  int32_t epsg = 0;
};

// Runs the generator into `dir` with `args`; the message of a failure.
inline std::expected<void, std::string> generate_flight(const std::filesystem::path& source_dir,
                                                        const std::filesystem::path& dir, const std::string& args) {
  const std::string cmd = "/usr/bin/python3 '" + (source_dir / "tools/flightsim/generate.py").string() + "' '" +
                          dir.string() + "' " + args + " >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) return std::unexpected("flight generator failed: " + cmd);
  return {};
}

// Reads truth.json of a generated flight.
inline std::expected<TruthFlight, std::string> load_truth_flight(const std::filesystem::path& dir) {
  std::ifstream in(dir / "truth.json", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  auto truth = json_parse(text);
  if (!truth) return std::unexpected("truth.json: " + truth.error());
  const JsonValue& cam = (*truth)["camera"];
  CameraModel model;
  model.width = static_cast<uint64_t>(cam["width"].as_f64());
  model.height = static_cast<uint64_t>(cam["height"].as_f64());
  model.fx = cam["fx"].as_f64();
  model.fy = cam["fy"].as_f64();
  model.cx = cam["cx"].as_f64();
  model.cy = cam["cy"].as_f64();
  model.kind = LensKind::Brown;
  model.coeffs.clear();
  for (size_t k = 0; k < cam["coeffs"].size(); ++k) model.coeffs.push_back(cam["coeffs"].at(k).as_f64());
  TruthFlight f;
  f.dir = dir;
  f.origin_e = (*truth)["utm"]["origin_e"].as_f64();
  f.origin_n = (*truth)["utm"]["origin_n"].as_f64();
  f.epsg = static_cast<int32_t>((*truth)["utm"]["epsg"].as_f64());
  const JsonValue& photos = (*truth)["photos"];
  for (size_t i = 0; i < photos.size(); ++i) {
    const JsonValue& p = photos.at(i);
    ImageMeta m;
    m.path = dir / p["file"].as_string();
    m.width = model.width;
    m.height = model.height;
    m.lens = model;
    f.images.push_back(m);
    Mat3 r;
    for (size_t a = 0; a < 3; ++a)
      for (size_t b = 0; b < 3; ++b) r[3 * a + b] = p["rotation"].at(a).at(b).as_f64();
    f.rotations.push_back(r);
    f.positions.push_back({p["position"].at(0).as_f64(), p["position"].at(1).as_f64(), p["position"].at(2).as_f64()});
    const double g = 1.0 / p["gain"].as_f64();
    f.exposure_gains.push_back({g, g, g});
  }
  return f;
}

}  // namespace tsl::test
