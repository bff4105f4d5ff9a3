#include "imageio/srgb.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tsl {
namespace {

template <typename Table>
void fill_table(Table& table) {
  const double top = static_cast<double>(table.size() - 1);
  for (size_t v = 0; v < table.size(); ++v) {
    const double a = static_cast<double>(v) / top;
    const double linear = a <= 0.04045 ? a / 12.92 : std::pow((a + 0.055) / 1.055, 2.4);
    table[v] = static_cast<uint16_t>(std::clamp(std::round(linear * 65535.0), 0.0, 65535.0));
  }
}

}  // namespace

const std::array<uint16_t, 256>& srgb_to_linear_8() {
  // Function-local statics are built once, other threads waiting meanwhile.
  static const std::array<uint16_t, 256> table = [] {
    std::array<uint16_t, 256> t{};
    fill_table(t);
    return t;
  }();
  return table;
}

std::span<const uint16_t> srgb_to_linear_16() {
  static const std::vector<uint16_t> table = [] {
    std::vector<uint16_t> t(65536);
    fill_table(t);
    return t;
  }();
  return table;
}

}  // namespace tsl
