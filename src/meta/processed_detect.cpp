#include "meta/processed_detect.h"

#include <string>

#include "util/lower_case.h"
#include "util/path.h"

namespace tsl {
namespace {

// The values of every CreatorTool in the packet, attribute (CreatorTool="...") or element
// (<...:CreatorTool>...</...>) form. The closing tag of an element counts as an occurrence
// too and contributes what follows it, which never hides a name that is there.
std::string creator_tools(std::string_view text) {
  constexpr std::string_view NAME = "CreatorTool";
  std::string out;
  for (size_t at = text.find(NAME); at != std::string_view::npos; at = text.find(NAME, at + NAME.size())) {
    size_t p = at + NAME.size();
    while (p < text.size() && (text[p] == '"' || text[p] == '=' || text[p] == '>')) ++p;
    if (p == at + NAME.size()) continue;
    size_t end = text.find_first_of("\"<", p);
    if (end == std::string_view::npos) end = text.size();
    out += ' ';
    out.append(text.substr(p, end - p));
  }
  return out;
}

}  // namespace

bool detect_processed(const ImageMeta& meta, std::string_view xmp_text, const XmpAttrs& attrs, ProcessedMode mode) {
  if (mode == ProcessedMode::No) return false;
  if (mode == ProcessedMode::Yes) return true;
  if (const std::string* v = xmp_value(attrs, "TessalyProcessed"); v != nullptr && *v == "1") return true;
  const std::string software = lower_unicode(meta.software + creator_tools(xmp_text));
  for (std::string_view name : RAW_DEVELOPER_NAMES)
    if (software.find(name) != std::string::npos) return true;
  return lower_unicode(file_stem_string(meta.path.native())).find("dxo") != std::string::npos;
}

}  // namespace tsl
