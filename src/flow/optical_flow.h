#pragma once
// The one entry for dense optical flow between two grey images of one scene: DIS by default,
// pyramidal Lucas-Kanade when the options ask for it.
#include <optional>
#include <string_view>

#include "img/flow_field.h"
#include "img/image.h"

namespace tsl {

enum class FlowBackend { Dis, LucasKanade };

struct FlowOptions {
  FlowBackend backend = FlowBackend::Dis;  // Lucas-Kanade when TESSALY_FLOW says "lk"
};

// True when a TESSALY_FLOW value selects Lucas-Kanade: exactly two bytes that lower-case
// (A-Z only) to "lk". An absent value selects DIS.
bool flow_backend_is_lk(std::optional<std::string_view> value);

// The flow from a to b: single-channel images of equal size, samples 0..255. Lucas-Kanade
// runs on copies scaled to 0..1, DIS on the images themselves. Neither image is changed.
FlowField optical_flow(const ImageF32& a, const ImageF32& b, const FlowOptions& options);

}  // namespace tsl
