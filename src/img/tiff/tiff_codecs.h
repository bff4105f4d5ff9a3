#pragma once
// The two byte-oriented TIFF compressions decoded here, LZW and PackBits, one chunk (strip or
// tile) at a time. Both stop once `limit` bytes are out: the caller knows how many bytes a
// chunk must hold and discards any surplus, so a crafted chunk cannot grow the output past it.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace tsl {

// TIFF LZW (compression 5): codes read most significant bit first, Clear 256, End 257, code
// width 9 to 12 bits growing one code early (at table sizes 511, 1023, 2047). Running out of
// input ends the chunk normally. Errors: "bad LZW stream" (a first code past the table) and
// "bad LZW code" (a code more than one past the table). Output: at most `limit` bytes.
std::expected<std::vector<uint8_t>, std::string> lzw_decode(std::span<const uint8_t> data, size_t limit);

// PackBits (compression 32773): header n in 0..127 copies n + 1 bytes, -1..-127 repeats the
// next byte 1 - n times, -128 is skipped; a literal run cut off by the end of the data keeps
// what is there. Never fails. Output: at most `limit` bytes.
std::vector<uint8_t> packbits_decode(std::span<const uint8_t> data, size_t limit);

}  // namespace tsl
