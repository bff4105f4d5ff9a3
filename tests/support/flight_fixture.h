#pragma once
// A generated flight of the flight simulator (tools/flightsim) read back with its true poses
// and camera, so that the renderers can be judged against the true orthophoto. Header-only:
// the render benchmark uses it too.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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
#include "util/sha1.h"

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

// A name for the flight that `args` make with the generator as it is now: a hash of the
// arguments and of every python source under tools/flightsim, so an edited generator never
// hands out an old flight.
inline std::string flight_key(const std::filesystem::path& source_dir, const std::string& args) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(source_dir / "tools/flightsim"))
    if (e.is_regular_file() && e.path().extension() == ".py") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::string all = args;
  for (const fs::path& f : files) {
    std::ifstream in(f, std::ios::binary);
    all += '\0' + fs::relative(f, source_dir).string() + '\0';
    all.append(std::istreambuf_iterator<char>(in), {});
  }
  const auto h = sha1({reinterpret_cast<const uint8_t*>(all.data()), all.size()});
  char name[24];
  std::snprintf(name, sizeof name, "%08x%08x", h[0], h[1]);
  return name;
}

// The folder of the flight that `args` make, generated once and then shared by every test
// process and benchmark asking for the same one (ctest runs each test in its own process).
// It lives in the temp folder under its flight_key; callers wait on a lock file while the
// first one generates, and the flight appears by a rename, whole or not at all. Callers only
// read it.
inline std::expected<std::filesystem::path, std::string> shared_flight(const std::filesystem::path& source_dir,
                                                                       const std::string& args) {
  namespace fs = std::filesystem;
  const fs::path base = fs::temp_directory_path() / "tsl_test_flights";
  std::error_code ec;
  fs::create_directories(base, ec);
  const std::string key = flight_key(source_dir, args);
  const fs::path dir = base / key, lock_path = base / (key + ".lock");
  const int lock = ::open(lock_path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
    if (lock >= 0) ::close(lock);
    return std::unexpected("cannot lock " + lock_path.string());
  }
  std::expected<fs::path, std::string> result = dir;
  if (!fs::exists(dir / "truth.json", ec)) {
    const fs::path part = base / (key + ".part");
    fs::remove_all(part, ec);
    fs::remove_all(dir, ec);
    if (auto gen = generate_flight(source_dir, part, args); !gen)
      result = std::unexpected(gen.error());
    else if (fs::rename(part, dir, ec); ec)
      result = std::unexpected("cannot rename " + part.string() + ": " + ec.message());
  }
  ::close(lock);  // releases the lock
  return result;
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

// The generated flight for these generator arguments, made once and read back with its truth.
inline std::expected<TruthFlight, std::string> shared_truth_flight(const std::filesystem::path& source_dir,
                                                                   const std::string& args) {
  auto dir = shared_flight(source_dir, args);
  if (!dir) return std::unexpected(dir.error());
  return load_truth_flight(*dir);
}

}  // namespace tsl::test
