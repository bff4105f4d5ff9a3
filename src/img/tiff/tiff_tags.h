#pragma once
// Numbers of the TIFF tags that describe an image's layout, shared by the TIFF, DNG and
// metadata readers.

#include <cstdint>

namespace tsl {

constexpr uint16_t TAG_NEW_SUBFILE_TYPE = 254;
constexpr uint16_t TAG_IMAGE_WIDTH = 256;
constexpr uint16_t TAG_IMAGE_LENGTH = 257;
constexpr uint16_t TAG_BITS_PER_SAMPLE = 258;
constexpr uint16_t TAG_COMPRESSION = 259;
constexpr uint16_t TAG_PHOTOMETRIC = 262;
constexpr uint16_t TAG_STRIP_OFFSETS = 273;
constexpr uint16_t TAG_ORIENTATION = 274;
constexpr uint16_t TAG_SAMPLES_PER_PIXEL = 277;
constexpr uint16_t TAG_ROWS_PER_STRIP = 278;
constexpr uint16_t TAG_STRIP_BYTE_COUNTS = 279;
constexpr uint16_t TAG_PLANAR_CONFIGURATION = 284;
constexpr uint16_t TAG_PREDICTOR = 317;
constexpr uint16_t TAG_TILE_WIDTH = 322;
constexpr uint16_t TAG_TILE_LENGTH = 323;
constexpr uint16_t TAG_TILE_OFFSETS = 324;
constexpr uint16_t TAG_TILE_BYTE_COUNTS = 325;
constexpr uint16_t TAG_SAMPLE_FORMAT = 339;
constexpr uint16_t TAG_ACTIVE_AREA = 50829;  // DNG: the part of the sensor that holds the image

}  // namespace tsl
