#include "flow/flow_test_command.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "dis/dis_flow.h"
#include "flow/lk_flow.h"
#include "meta/meta_reader.h"
#include "util/error.h"
#include "util/npy.h"
#include "util/text.h"

namespace tsl {

namespace {

NpyArray read_npy_file(const std::string& path) {
  auto bytes = read_file_head(path, UINT64_MAX);
  if (!bytes) internal_error(format("cannot read {}: {}", path, bytes.error()));
  auto array = npy_read(*bytes);
  if (!array) internal_error(format("cannot read {}: {}", path, array.error()));
  return std::move(*array);
}

std::string shape_text(const std::vector<uint64_t>& shape) {
  std::string text = "[";
  for (size_t i = 0; i < shape.size(); ++i) text += format(i ? ", {}" : "{}", shape[i]);
  return text + "]";
}

// The first width x height values of an array as a single-channel image.
ImageF32 grey_image(const NpyArray& array, size_t width, size_t height, const std::string& path) {
  const std::vector<double> values = npy_to_f64(array);
  if (values.size() < width * height)
    internal_error(format("{}: {} values, {}x{} needed", path, values.size(), width, height));
  ImageF32 img;
  img.width = width;
  img.height = height;
  img.channels = 1;
  img.data.resize(width * height);
  for (size_t p = 0; p < img.data.size(); ++p) img.data[p] = static_cast<float>(values[p]);
  return img;
}

void write_flow(const FlowField& flow, size_t width, size_t height, const std::string& path) {
  std::vector<float> data(2 * width * height);
  for (size_t p = 0; p < width * height; ++p) {
    data[2 * p] = flow.u[p];
    data[2 * p + 1] = flow.v[p];
  }
  NpyArray array{std::move(data), {height, width, 2}};
  const std::vector<uint8_t> bytes = npy_write(array);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) internal_error(format("cannot write {}", path));
}

}  // namespace

void flow_test_command(const std::string& path_a, const std::string& path_b, const std::string& path_out, bool dis) {
  const NpyArray na = read_npy_file(path_a);
  const NpyArray nb = read_npy_file(path_b);
  if (na.shape.size() < 2) internal_error(format("{}: shape {} is not an image", path_a, shape_text(na.shape)));
  // B is read on A's grid; a B of another shape would pair the wrong pixels.
  if (nb.shape != na.shape)
    internal_error(format("{}: shape {} differs from {} of {}", path_b, shape_text(nb.shape), shape_text(na.shape),
                          path_a));
  const size_t height = na.shape[0], width = na.shape[1];
  ImageF32 a = grey_image(na, width, height, path_a);
  ImageF32 b = grey_image(nb, width, height, path_b);
  const auto start = std::chrono::steady_clock::now();
  FlowField flow;
  if (dis) {
    for (ImageF32* img : {&a, &b})
      for (float& s : img->data) s = std::round(s * 255.0f);
    flow = dis_flow(a, b);
  } else {
    flow = lk_flow(a, b);
  }
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const std::string line = format("lk {}x{}: {:.0} ms\n", width, height, ms);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  write_flow(flow, width, height, path_out);
}

}  // namespace tsl
