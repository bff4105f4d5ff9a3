#include "img/jpeg/jpeg_fixture.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>

#include "support/test_util.h"

namespace tsl::test {

ImageU8 synthetic_photo(size_t width, size_t height, size_t channels, uint32_t seed) {
  ImageU8 img(width, height, channels);
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 6.0f);
  // Separable tables keep a 12-megapixel image cheap: sin(a + b) = sin a cos b + cos a sin b.
  std::vector<float> sx(width), cx(width), tx(width), sy(height), cy(height), ty(height);
  for (size_t x = 0; x < width; ++x) {
    const double u = static_cast<double>(x) / 37.0;
    sx[x] = static_cast<float>(std::sin(u * 0.7));
    cx[x] = static_cast<float>(std::cos(u * 0.7));
    tx[x] = static_cast<float>(12 * std::sin(static_cast<double>(x) * 1.3));
  }
  for (size_t y = 0; y < height; ++y) {
    const double v = static_cast<double>(y) / 29.0;
    sy[y] = static_cast<float>(std::sin(v * 0.3));
    cy[y] = static_cast<float>(std::cos(v * 0.3));
    ty[y] = static_cast<float>(std::cos(static_cast<double>(y) * 1.7));
  }
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      const float shade = 110 + 60 * (sx[x] * cy[y] + cx[x] * sy[y]) + 40 * cx[x] * cy[y];
      const float edge = ((x / 23 + y / 17) % 3 == 0) ? 50.0f : 0.0f;
      for (size_t c = 0; c < channels; ++c) {
        const float tint = channels == 3 ? 30.0f * (c == 0 ? sx[x] : c == 1 ? cy[y] : -sx[x]) : 0.0f;
        const float value = shade + edge + tx[x] * ty[y] + tint + noise(rng);
        img.data[(y * width + x) * channels + c] = static_cast<uint8_t>(std::clamp(value, 0.0f, 255.0f));
      }
    }
  }
  return img;
}

void write_pnm(const std::filesystem::path& path, const ImageU8& image) {
  std::ofstream f(path, std::ios::binary);
  f << (image.channels == 1 ? "P5" : "P6") << "\n" << image.width << " " << image.height << "\n255\n";
  f.write(reinterpret_cast<const char*>(image.data.data()), static_cast<std::streamsize>(image.data.size()));
}

ImageU8 read_pnm(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  std::string magic;
  size_t w = 0, h = 0, maxval = 0;
  if (!(f >> magic >> w >> h >> maxval) || (magic != "P5" && magic != "P6") || maxval != 255) return {};
  f.get();
  ImageU8 img(w, h, magic == "P5" ? 1 : 3);
  f.read(reinterpret_cast<char*>(img.data.data()), static_cast<std::streamsize>(img.data.size()));
  if (!f) return {};
  return img;
}

PixelDiff pixel_diff(const ImageU8& a, const ImageU8& b) {
  PixelDiff d;
  d.same_shape = a.width == b.width && a.height == b.height && a.channels == b.channels;
  if (!d.same_shape || a.data.empty()) return d;
  double sum = 0;
  for (size_t i = 0; i < a.data.size(); ++i) {
    const int diff = std::abs(int{a.data[i]} - int{b.data[i]});
    d.max_abs = std::max(d.max_abs, diff);
    sum += diff;
  }
  d.mean_abs = sum / static_cast<double>(a.data.size());
  return d;
}

double psnr(const ImageU8& a, const ImageU8& b) {
  double se = 0;
  for (size_t i = 0; i < a.data.size(); ++i) {
    const double diff = static_cast<double>(a.data[i]) - static_cast<double>(b.data[i]);
    se += diff * diff;
  }
  if (se == 0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(255.0 * 255.0 / (se / static_cast<double>(a.data.size())));
}

ImageU8 to_rgb(const ImageU8& image) {
  if (image.channels != 1) return image;
  ImageU8 out(image.width, image.height, 3);
  for (size_t i = 0; i < image.width * image.height; ++i)
    out.data[3 * i] = out.data[3 * i + 1] = out.data[3 * i + 2] = image.data[i];
  return out;
}

ImageU8 djpeg(const std::filesystem::path& path, const std::string& args) {
  TempDir dir;
  const auto out = dir / "out.pnm";
  const auto r = run_command("djpeg " + args + " " + shell_quote(path.string()) + " > " + shell_quote(out.string()));
  // Exit code 2 means warnings only (such as premature end of data): the image is there.
  if (r.exit_code != 0 && r.exit_code != 2) return {};
  return to_rgb(read_pnm(out));
}

}  // namespace tsl::test
