#pragma once
// Recognising photos that a raw developer has already corrected for lens distortion and
// vignetting, whose lens-correction items must then not be applied a second time.
#include <array>
#include <string_view>

#include "meta/image_meta.h"

namespace tsl {

// Lower-case names found inside the software texts of developed files.
inline constexpr std::array<std::string_view, 8> RAW_DEVELOPER_NAMES = {
    "dxo", "pureraw", "lightroom", "camera raw", "capture one", "darktable", "rawtherapee", "topaz"};

// No: false. Yes: true. Auto: true when EXIF Software or an XMP CreatorTool names a raw
// developer (any letter case), when the file stem contains "dxo", or when the attributes
// carry TessalyProcessed="1" (written by our own diagnostics frames).
bool detect_processed(const ImageMeta& meta, std::string_view xmp_text, const XmpAttrs& attrs, ProcessedMode mode);

}  // namespace tsl
