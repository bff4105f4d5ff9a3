#pragma once
// The drone's XMP packet, read as plain text (no XML parsing, no entity decoding): the
// "drone-dji:" attributes that carry the camera's height above take-off and the gimbal
// angles, the numbers read from them, and the file name a raw developer preserved.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "meta/image_meta.h"

namespace tsl {

// The first "<x:xmpmeta" ... "</x:xmpmeta>" packet in `bytes`, closing tag included, with
// invalid UTF-8 replaced by U+FFFD; empty when either tag is missing.
std::string find_xmp_packet(std::span<const uint8_t> bytes);

// Every "drone-dji:" attribute of the packet, names without the prefix. Attribute form
// (drone-dji:Name="value") wins over element form (<drone-dji:Name>value</drone-dji:...>)
// for the same name wherever it stands; of two attributes the first wins.
XmpAttrs scan_drone_xmp(std::string_view xmp_text);

// Appends (name, value) unless `attrs` already holds `name`.
void add_new_attr(XmpAttrs& attrs, std::string_view name, std::string_view value);

// The first of `names` whose value reads as a decimal number once every "+" is removed and
// white space trimmed (inf and nan words included); NaN when none does. Not tested for
// finiteness.
double xmp_number(const XmpAttrs& attrs, std::initializer_list<std::string_view> names);

// The value of PreservedFileName="..." or else OriginalFileName="..." (first occurrence of
// each name only); nothing when neither fits.
std::optional<std::string> xmp_original_name(std::string_view xmp_text);

// Sets position, altitudes and angles from the attributes and stores them as `meta.xmp`.
// The XMP position replaces the EXIF one only when both coordinates are finite and not both
// 0; AbsoluteAltitude replaces the EXIF altitude only when finite; a missing gimbal yaw falls
// back to the flight yaw, a missing or NaN roll to 0.
void apply_drone_xmp(ImageMeta& meta, XmpAttrs attrs);

}  // namespace tsl
