#include "meta/image_meta.h"

#include <cmath>

#include "util/text.h"

namespace tsl {

ProcessedMode processed_mode_from_text(std::string_view text) {
  if (text == "no") return ProcessedMode::No;
  if (text == "yes") return ProcessedMode::Yes;
  return ProcessedMode::Auto;
}

std::string_view lens_op_name(const LensOp& op) {
  static constexpr std::string_view NAMES[] = {"warp", "vign", "gain"};
  return NAMES[op.index()];
}

const std::string* xmp_value(const XmpAttrs& attrs, std::string_view name) {
  for (const auto& [n, v] : attrs)
    if (n == name) return &v;
  return nullptr;
}

std::string camera_key(const ImageMeta& m) {
  const double f = m.focal_mm;
  const std::string focal = std::isnan(f) ? "nan" : std::isinf(f) ? (f > 0 ? "inf" : "-inf") : format("{:.1}", f);
  return format("{}|{}x{}|{}", m.model, m.width, m.height, focal);
}

}  // namespace tsl
