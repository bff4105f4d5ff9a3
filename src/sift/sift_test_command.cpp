#include "sift/sift_test_command.h"

#include <chrono>

#include "imageio/srgb.h"
#include "img/jpeg/decode.h"
#include "img/ops/feature_image.h"
#include "meta/meta_reader.h"
#include "sift/sift.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {

namespace {

double ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

std::vector<std::string> sift_test_command(const std::string& path) {
  auto bytes = read_file_head(path, UINT64_MAX);
  if (!bytes) internal_error(format("cannot read {}: {}", path, bytes.error()));
  auto rgb = decode_jpeg(*bytes, 1);
  if (!rgb) internal_error(format("cannot decode {}: {}", path, rgb.error()));
  const auto& lut = srgb_to_linear_8();
  ImageU16 linear(rgb->width, rgb->height, 3);
  for (size_t i = 0; i < linear.data.size(); ++i) linear.data[i] = lut[rgb->data[i]];

  auto t0 = std::chrono::steady_clock::now();
  const ImageU8 gray = prepare_feature_image(linear);
  std::vector<std::string> lines{format("gray+clahe {:.0} ms", ms_since(t0))};
  t0 = std::chrono::steady_clock::now();
  const SiftFeatures features = sift_extract(gray, SiftOptions{.features = 4000, .workers = cpu_budget()});
  lines.push_back(format("sift {} kps {:.0} ms", features.keypoints.size(), ms_since(t0)));
  return lines;
}

}  // namespace tsl
