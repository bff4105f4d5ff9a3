#pragma once
// DEFLATE (raw streams) and its zlib framing, the inflater, and the two checksums of the
// formats the program writes: Adler-32 for zlib streams, CRC-32 for zip members and PNG chunks.
//
// The compressor is a greedy LZ77 matcher over hash chains; every block it writes is a
// dynamic-Huffman block of at most 65536 tokens. Its output depends only on the input and the
// level, never on the machine or the thread. All functions here keep their state on the
// caller's side and may run on any number of threads at once.
#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace tsl {

// Raw DEFLATE stream of `data`. `level` 0..9 only sets how many hash-chain candidates are
// examined per position (1: 4, 2-3: 8, 4-5: 16, 6: 32, 0 and 7-9: 128); level 0 is not a
// stored mode. A level above 9 is a caller's bug (internal error).
std::vector<uint8_t> deflate(std::span<const uint8_t> data, unsigned level);

// zlib stream: the header 78 9C, deflate(data, level), the Adler-32 of `data` big-endian.
std::vector<uint8_t> zlib_compress(std::span<const uint8_t> data, unsigned level);

// Decodes a raw DEFLATE stream that starts at data[0]; bytes after the final block are
// ignored (so a zlib trailer may follow; it is not verified). The output may not exceed
// `max_size` bytes: callers pass the size they expect, which also pre-sizes the output.
// Errors: "invalid block type", "truncated deflate header", "truncated deflate data",
// "truncated deflate stream", "repeat with no previous length", "invalid huffman code",
// "bad length symbol", "bad distance symbol", "distance too far back", and
// "inflated data exceeds {max_size} bytes".
std::expected<std::vector<uint8_t>, std::string> inflate(std::span<const uint8_t> data, uint64_t max_size);

// Huffman code lengths (0 for unused symbols) for the first n frequencies, no longer than
// max_len bits (1..15). Frequencies are halved (f >> 1 | 1) until the tree fits. A single used
// symbol gets length 1.
std::vector<uint8_t> limited_code_lengths(std::span<const uint32_t> freqs, size_t n, unsigned max_len);

// Canonical Huffman codes for `lengths` (0..15), each bit-reversed over its length so that it
// can be written least-significant bit first; 0 where the length is 0.
std::vector<uint32_t> canonical_codes(std::span<const uint8_t> lengths);

// The CRC-32 table of the reflected polynomial 0xEDB88320, built once on first use (thread-safe).
const std::array<uint32_t, 256>& crc32_table();

// CRC-32 as in zip and PNG: initial value all ones, final complement. Empty input gives 0.
uint32_t crc32_bytes(std::span<const uint8_t> data);

// Adler-32 as in zlib. Empty input gives 1.
uint32_t adler32(std::span<const uint8_t> data);

}  // namespace tsl
