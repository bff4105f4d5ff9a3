#pragma once
// Diagnostics frames: one photo reduced to a JPEG that shows it as the build saw it after
// loading and carries its capture metadata again (EXIF block and drone-dji XMP packet), so a
// frame can be fed back in as an input photo.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "meta/image_meta.h"

namespace tsl {

// Replaces the value of the first attribute named `name`, or appends (name, value).
void set_xmp_attr(XmpAttrs& list, std::string_view name, std::string value);

// The frame's attribute list: the photo's own (without "DewarpData"), then its position,
// height and gimbal angles where finite, then TessalySource and TessalyProcessed.
XmpAttrs frame_xmp_attrs(const ImageMeta& photo);

// The XMP packet text (after the APP1 signature). Values are escaped as XML attribute text.
std::string frame_xmp_packet(const XmpAttrs& attrs);

// The APP1 EXIF payload: "Exif\0\0", then a little-endian TIFF stream with IFD0 (Make,
// Model, Software, Exif pointer) and the Exif directory (exposure as the equivalent time at
// f/2.8 and ISO 100, capture time, focal lengths), each tag only when the photo has it.
std::vector<uint8_t> frame_exif_block(const ImageMeta& photo);

// Frames are never smaller than this on their long side, so a request of 0 still gives a
// usable picture.
inline constexpr uint64_t DIAG_FRAME_MIN_PX = 64;

// The frame's JPEG bytes (quality 90), long side at most max_px (at least DIAG_FRAME_MIN_PX),
// never enlarged. Errors: the loader's message unchanged.
std::expected<std::vector<uint8_t>, std::string> diag_frame_jpeg(const ImageMeta& photo, uint64_t max_px);

}  // namespace tsl
