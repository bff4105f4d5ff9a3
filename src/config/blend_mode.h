#pragma once
// How the render joins overlapping photos, as the `blend` option chooses it.
#include <string_view>

namespace tsl {

// Multiband: seam lines, then multi-band blending across them (a render of one photo, or one
// without a seam map, falls back to feathering). Feather: each output pixel the weighted mean
// of the photos that see it, a photo's weight falling from its frame centre to its border.
enum class BlendMode { Multiband, Feather };

// The `blend` option text: "feather" gives Feather, any other text Multiband, so that a
// misspelt stored value selects the default.
inline BlendMode blend_mode_from_text(std::string_view text) {
  return text == "feather" ? BlendMode::Feather : BlendMode::Multiband;
}

}  // namespace tsl
