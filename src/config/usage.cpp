#include "config/usage.h"

#include <cctype>

#include "config/options.h"
#include "util/text.h"

namespace tsl {

namespace {

// "--max-tilt MAX_TILT", "--bits {8,16}", "--wb X X X", "--dxo", "-o, --output OUTPUT".
std::string option_column(const OptionSpec& row) {
  std::string col = row.key == "output" ? "-o, --output" : std::string(row.flag);
  if (row.kind == OptionKind::Flag) return col;
  if (row.kind == OptionKind::List) {
    for (uint64_t k = 0; k < row.nargs; ++k) col += " X";
    return col;
  }
  if (!row.choices.empty()) {
    col += " {";
    for (size_t i = 0; i < row.choices.size(); ++i) {
      if (i > 0) col += ",";
      col += row.choices[i];
    }
    return col + "}";
  }
  col += " ";
  for (char c : row.key) col.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  return col;
}

}  // namespace

std::string usage_text() {
  std::string out = format("tessaly {} - fast planar orthomosaic from DJI nadir stills (Oskarn)\n", PROGRAM_VERSION);
  out += "\n";
  out += "usage:\n";
  out += "  tessaly" + std::string(33, ' ') + "open the Studio (browser UI, fully local)\n";
  out += "  tessaly studio [--port 8765] [--no-browser]\n";
  out += "  tessaly INPUT [INPUT ...] [-o ortho.tif] [options]\n";
  out += "\n";
  out += "INPUT: folder(s) or image files (JPG / DNG)\n";
  out += "\n";
  out += "options:\n";
  for (const OptionSpec& row : OPTION_TABLE) out += format("  {:<34} {}\n", option_column(row), row.help);
  return out;
}

}  // namespace tsl
