#pragma once
// Which photo each place of the mosaic is taken from: a north-up grid of square cells sharing
// the output raster's top-left corner. Cell (x, y) covers east left_e + x cell to left_e +
// (x + 1) cell and north top_n - (y + 1) cell to top_n - y cell; the grid may reach past the
// output's east and south edges by less than a cell.
#include <cstdint>
#include <string>
#include <vector>

namespace tsl {

struct SeamMap {
  std::vector<int32_t> labels;     // nx x ny, row-major from the north: photo index, or -1
  std::vector<std::string> names;  // file name of every photo, in photo order
  uint64_t nx = 0;                 // cells per row
  uint64_t ny = 0;                 // rows
  double left_e = 0.0;             // m, the output grid's west edge
  double top_n = 0.0;              // m, the output grid's north edge
  double cell = 1.0;               // m
};

}  // namespace tsl
