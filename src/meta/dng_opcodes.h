#pragma once
// The lens corrections a DNG camera records in its OpcodeList3 tag: WarpRectilinear,
// FixVignetteRadial and GainMap become "warp", "vign" and "gain" items.
#include <cstdint>
#include <span>
#include <vector>

#include "meta/image_meta.h"

namespace tsl {

// The items of an OpcodeList3 value (always big-endian, whatever the TIFF byte order), in
// list order; other opcodes are passed over by their parameter size. Never fails: data that
// ends early or does not fit ends the list, and the opcode being read is dropped. Storage
// for gain values is reserved only when the bytes hold them all.
std::vector<LensOp> read_opcode_list(std::span<const uint8_t> bytes);

}  // namespace tsl
