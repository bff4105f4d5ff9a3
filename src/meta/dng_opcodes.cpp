#include "meta/dng_opcodes.h"

#include <bit>
#include <cstring>
#include <optional>

namespace tsl {
namespace {

constexpr uint32_t WARP_RECTILINEAR = 1;
constexpr uint32_t FIX_VIGNETTE_RADIAL = 3;
constexpr uint32_t GAIN_MAP = 9;

// Big-endian reads that refuse to run past the end; positions are 64-bit so that a sum of
// file-given counts cannot wrap.
struct Reader {
  std::span<const uint8_t> bytes;

  bool has(uint64_t pos, uint64_t len) const { return pos <= bytes.size() && len <= bytes.size() - pos; }

  uint32_t u32_at(uint64_t pos) const {
    const uint8_t* b = bytes.data() + pos;
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
  }
  std::optional<uint32_t> u32(uint64_t pos) const {
    if (!has(pos, 4)) return std::nullopt;
    return u32_at(pos);
  }
  std::optional<double> f64(uint64_t pos) const {
    if (!has(pos, 8)) return std::nullopt;
    const uint64_t bits = (uint64_t{u32_at(pos)} << 32) | u32_at(pos + 4);
    return std::bit_cast<double>(bits);
  }
  float f32_at(uint64_t pos) const { return std::bit_cast<float>(u32_at(pos)); }

  // Fills `out` with consecutive doubles from `pos`; false when they do not all fit.
  bool f64s(uint64_t pos, std::span<double* const> out) const {
    if (!has(pos, 8 * uint64_t{out.size()})) return false;
    for (size_t k = 0; k < out.size(); ++k) *out[k] = *f64(pos + 8 * k);
    return true;
  }
};

std::optional<WarpOp> read_warp(const Reader& r, uint64_t p) {
  auto planes = r.u32(p);
  if (!planes) return std::nullopt;
  // Three planes are red, green, blue: the green one stands for the lens.
  const uint64_t set = *planes == 3 ? 1 : 0;
  WarpOp w;
  double* coeffs[] = {&w.kr0, &w.kr1, &w.kr2, &w.kr3, &w.kt0, &w.kt1};
  double* centre[] = {&w.cx, &w.cy};
  if (!r.f64s(p + 4 + 48 * set, coeffs)) return std::nullopt;
  if (!r.f64s(p + 4 + 48 * uint64_t{*planes}, centre)) return std::nullopt;
  return w;
}

std::optional<VignOp> read_vignette(const Reader& r, uint64_t p) {
  VignOp v;
  double* values[] = {&v.k0, &v.k1, &v.k2, &v.k3, &v.k4, &v.cx, &v.cy};
  if (!r.f64s(p, values)) return std::nullopt;
  return v;
}

std::optional<GainOp> read_gain_map(const Reader& r, uint64_t p) {
  if (!r.has(p, 76)) return std::nullopt;
  GainOp g;
  g.plane = r.u32_at(p + 16);
  g.planes = r.u32_at(p + 20);
  g.points_v = r.u32_at(p + 32);
  g.points_h = r.u32_at(p + 36);
  g.spacing_v = *r.f64(p + 40);
  g.spacing_h = *r.f64(p + 48);
  g.origin_v = *r.f64(p + 56);
  g.origin_h = *r.f64(p + 64);
  g.map_planes = r.u32_at(p + 72);
  // Each factor is below 2^32, so the product of the first two fits and the third is checked.
  const uint64_t vh = g.points_v * g.points_h;
  if (g.map_planes != 0 && vh > UINT64_MAX / g.map_planes) return std::nullopt;
  const uint64_t count = vh * g.map_planes;
  if (count > UINT64_MAX / 4 || !r.has(p + 76, 4 * count)) return std::nullopt;
  g.gains.resize(count);
  for (uint64_t k = 0; k < count; ++k) g.gains[k] = r.f32_at(p + 76 + 4 * k);
  return g;
}

}  // namespace

std::vector<LensOp> read_opcode_list(std::span<const uint8_t> bytes) {
  std::vector<LensOp> items;
  const Reader r{bytes};
  auto count = r.u32(0);
  if (!count) return items;
  uint64_t pos = 4;
  for (uint32_t i = 0; i < *count; ++i) {
    if (!r.has(pos, 16)) break;
    const uint32_t id = r.u32_at(pos);
    const uint32_t param_bytes = r.u32_at(pos + 12);
    const uint64_t p = pos + 16;
    if (id == WARP_RECTILINEAR) {
      auto w = read_warp(r, p);
      if (!w) break;
      items.emplace_back(*w);
    } else if (id == FIX_VIGNETTE_RADIAL) {
      auto v = read_vignette(r, p);
      if (!v) break;
      items.emplace_back(*v);
    } else if (id == GAIN_MAP) {
      auto g = read_gain_map(r, p);
      if (!g) break;
      items.emplace_back(std::move(*g));
    }
    pos = p + param_bytes;
  }
  return items;
}

}  // namespace tsl
