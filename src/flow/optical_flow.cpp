#include "flow/optical_flow.h"

#include "dis/dis_flow.h"
#include "flow/lk_flow.h"

namespace tsl {

namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

ImageF32 scaled_to_unit(const ImageF32& img) {
  ImageF32 out;
  out.width = img.width;
  out.height = img.height;
  out.channels = 1;
  out.data.resize(img.width * img.height);
  for (size_t p = 0; p < out.data.size(); ++p) out.data[p] = img.data[p] / 255.0f;
  return out;
}

}  // namespace

bool flow_backend_is_lk(std::optional<std::string_view> value) {
  return value && value->size() == 2 && ascii_lower((*value)[0]) == 'l' && ascii_lower((*value)[1]) == 'k';
}

FlowField optical_flow(const ImageF32& a, const ImageF32& b, const FlowOptions& options) {
  if (options.backend == FlowBackend::LucasKanade) return lk_flow(scaled_to_unit(a), scaled_to_unit(b));
  return dis_flow(a, b);
}

}  // namespace tsl
