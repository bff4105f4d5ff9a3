#pragma once
// Lossless JPEG (frame marker SOF3), the compression of DNG raw tiles and strips: one scan,
// up to four Huffman tables, the seven predictors, a point transform and restart markers
// taken at row starts. Several components come out pixel-interleaved, which is how a DNG
// tile stored as a frame of half the width with two components lays out its samples.
//
// Lenient by design, like the cameras' own readers: a code no table entry covers reads as a
// zero difference, a scan that runs into a marker or past the end decodes zero bits, and a
// missing restart marker leaves the reader on the last byte. Only structural faults fail.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace tsl {

// A frame's size as its header gives it.
struct LjpegShape {
  size_t width = 0;        // pixels per row (the frame's X)
  size_t height = 0;       // rows (Y)
  size_t components = 0;   // Nf
  unsigned precision = 0;  // P
};

// A decoded frame: width x components x height samples, components interleaved per pixel,
// rows from the top.
struct LjpegFrame {
  std::vector<uint16_t> samples;
  size_t width = 0;
  size_t height = 0;
  size_t components = 0;
  unsigned precision = 0;
};

// Decodes the first scan of a lossless JPEG. A frame of more than `max_samples` samples is
// refused before anything is allocated: the caller knows how many samples its piece can use.
// Errors: "no lossless JPEG scan" (fewer than 6 bytes, no SOS), "missing ljpeg huffman table"
// (a component's slot is empty when first used), "bad ljpeg segment length", "bad ljpeg
// huffman table" (counts past the segment, codes longer than 16 bits, or a used table with a
// symbol above 16), "bad ljpeg frame header" (short SOF3, no components), "bad ljpeg scan
// header" (short SOS, SOS before SOF3), "lossless JPEG frame {}x{}x{} larger than its tile".
std::expected<LjpegFrame, std::string> decode_ljpeg(std::span<const uint8_t> bytes, uint64_t max_samples);

// decode_ljpeg into the caller's buffer, whose size is the limit: the frame's samples fill
// its start and the rest is left as it was. Same errors.
std::expected<LjpegShape, std::string> decode_ljpeg_into(std::span<const uint8_t> bytes, std::span<uint16_t> out);

// Decodes only the leading rows of the frame that hold its first `wanted` samples (the whole
// frame when it is smaller) into `out`, resized to exactly those rows, so a piece of which
// little is used costs only that little. Frames above `max_samples` are refused as above.
std::expected<LjpegShape, std::string> decode_ljpeg_head(std::span<const uint8_t> bytes, uint64_t max_samples,
                                                         uint64_t wanted, std::vector<uint16_t>& out);

// Reads the entropy-coded stream: bytes enter a 64-bit buffer most significant first; FF 00
// is a data byte FF, FF followed by anything else is a marker, where the reader stays and
// supplies zero bytes, as it does past the end.
struct LjpegBitReader {
  std::span<const uint8_t> data;
  size_t pos = 0;
  uint64_t buffer = 0;  // valid bits at the top
  unsigned bits = 0;

  // Tops the buffer up to at least 57 valid bits.
  void refill();
  // Empties the buffer and moves past the next restart marker (FF D0..D7, number not
  // checked); without one the position ends on the last byte.
  void seek_restart();
};

}  // namespace tsl
