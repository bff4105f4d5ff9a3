#pragma once
// The state of one JPEG decode after its marker walk: the frame's components with their
// coefficient blocks, and the tables and colour facts the reconstruction reads.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "img/jpeg/entropy.h"

namespace tsl {

// Largest number of coefficients (one per sample, over all components and including the
// blocks past the image edges) a frame may ask for: 2^29 keeps the coefficient buffers at
// 1 GiB, which still holds a 170-megapixel 4:4:4 photograph.
inline constexpr uint64_t JPEG_MAX_SAMPLES = uint64_t{1} << 29;

struct JpegComponent {
  // Blocks of 64 coefficients in natural order, block rows of blocks_w blocks. Normally all
  // blocks_h rows (zeroed when the first scan starts); while the only scan of a sequential
  // frame is decoded and reconstructed at once, a ring of ring_mcu_rows MCU rows instead.
  // Not a vector: a photograph's buffers run to tens of megabytes, and they are zeroed on
  // worker threads rather than by one memset.
  std::unique_ptr<int16_t[]> coeffs;
  size_t coeffs_capacity = 0;  // coefficients `coeffs` holds room for (a ring may be larger than it needs)
  size_t ring_mcu_rows = 0;  // 0: every block row is stored
  uint32_t h = 1;               // sampling factors, 1..4
  uint32_t v = 1;
  uint32_t tq = 0;  // quantisation table id
  size_t blocks_w = 0;
  size_t blocks_h = 0;
  uint32_t dc_table = 0;
  uint32_t ac_table = 0;
  int32_t dc_pred = 0;
  uint8_t id = 0;
};

// The first coefficient of block row `row` of a component.
inline int16_t* jpeg_block_row(const JpegComponent& c, size_t row) {
  if (c.ring_mcu_rows != 0) row = (row / c.v % c.ring_mcu_rows) * c.v + row % c.v;
  return c.coeffs.get() + row * c.blocks_w * 64;
}

struct JpegDecoder {
  size_t width = 0;
  size_t height = 0;
  bool progressive = false;
  std::vector<JpegComponent> components;
  uint32_t hmax = 1;
  uint32_t vmax = 1;
  size_t mcus_x = 0;
  size_t mcus_y = 0;
  uint32_t restart_interval = 0;
  std::array<std::array<uint16_t, 64>, 4> quant{};  // natural order
  std::array<std::optional<JpegHuffTable>, 4> dc_tables;
  std::array<std::optional<JpegHuffTable>, 4> ac_tables;
  bool jfif = false;
  bool adobe = false;
  uint8_t adobe_transform = 0;
  uint32_t eob_run = 0;
  // Bumped by every segment that changes what the reconstruction reads (frame, tables, scans,
  // colour facts), so an image made while a scan was decoding can be checked for staleness.
  uint64_t generation = 0;
};

}  // namespace tsl
