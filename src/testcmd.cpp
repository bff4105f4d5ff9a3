#include "testcmd.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "config/environment.h"
#include "flow/flow_test_command.h"
#include "img/dng/develop.h"
#include "imageio/load_image.h"
#include "meta/meta_reader.h"
#include "sift/sift_test_command.h"
#include "util/error.h"
#include "util/npy.h"
#include "util/text.h"

namespace tsl {
namespace {

void print_line(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

template <typename T>
T or_fail(std::expected<T, std::string> value, std::string_view what) {
  if (!value) internal_error(format("{}: {}", what, value.error()));
  return std::move(*value);
}

ImageMeta read_meta(const std::string& path) {
  return or_fail(read_image_meta(path, std::nullopt, ProcessedMode::Auto), format("cannot read metadata of {}", path));
}

std::string meta_head(const ImageMeta& m) {
  return format("meta: {}x{} lat {} lon {} rel_alt {} yaw {} pitch {} exposure {} focal_mm {}", m.width, m.height,
                m.lat, m.lon, m.rel_alt, m.gimbal_yaw, m.gimbal_pitch, m.exposure, m.focal_mm);
}

// The image as float32 [H, W, 3], samples unchanged (0..65535), replacing any file there.
void write_image_npy(const ImageU16& image, const std::string& path) {
  NpyArray array;
  array.data = std::vector<float>(image.data.begin(), image.data.end());
  array.shape = {image.height, image.width, 3};
  const std::vector<uint8_t> bytes = npy_write(array);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) internal_error(format("cannot write {}", path));
}

void load_command(const std::string& photo, const std::string& out) {
  const ImageMeta meta = read_meta(photo);
  print_line(format("{} model {}", meta_head(meta), meta.model));
  const DecodedImage decoded = or_fail(load_image(meta, 1.0), format("cannot load {}", photo));
  print_line(format("loaded {}x{} scale ({:?}, {:?})", decoded.image.width, decoded.image.height, decoded.scale_x,
                    decoded.scale_y));
  write_image_npy(decoded.image, out);
}

void dng_command(const std::string& in, const std::string& out, const std::string& flag) {
  const std::vector<uint8_t> bytes = or_fail(read_file_head(in, UINT64_MAX), format("cannot read {}", in));
  const auto start = std::chrono::steady_clock::now();
  const ImageU16 image = or_fail(develop_dng(bytes, flag == "1"), format("cannot develop {}", in));
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  print_line(format("develop {}x{} in {:.0} ms", image.width, image.height, ms));
  write_image_npy(image, out);
  const ImageMeta meta = read_meta(in);
  const std::string lens = meta.lens ? format("Some(\"{}\")", lens_kind_name(meta.lens->kind)) : "None";
  const std::string fx = meta.lens ? format("Some({:?})", meta.lens->fx) : "None";
  print_line(format("{} lens {} fx {} processed {}", meta_head(meta), lens, fx, meta.processed));
}

}  // namespace

void run_test_command(std::span<const std::string> words) {
  const std::string& command = words[0];
  if (command == "__load" && words.size() == 3) return load_command(words[1], words[2]);
  if (command == "__dngtest" && words.size() == 4) return dng_command(words[1], words[2], words[3]);
  if (command == "__sifttest" && words.size() == 2) {
    for (const std::string& line : sift_test_command(words[1])) print_line(line);
    return;
  }
  if (command == "__flowtest" && words.size() == 4) return flow_test_command(words[1], words[2], words[3], read_environment().flow_test_dis);
  internal_error(format("test command {} is not available in this version", command));
}

}  // namespace tsl
