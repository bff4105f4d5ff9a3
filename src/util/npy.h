#pragma once
// NumPy arrays: the npy format (version 1.0 written; 1.x, 2.x and 3.x read) and npz files,
// zip archives of npy members. The reader takes what NumPy writes for the element types below.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tsl {

// Elements in row-major order, one alternative per element type, in tag order:
//   F64 (read from f8, and from i8 rounded to the nearest double), F32 (f4),
//   I32 (i4, and u1 / b1 / ? zero-extended), I16 (i2), Str (U<width>, UTF-8 here).
using NpyData = std::variant<std::vector<double>, std::vector<float>, std::vector<int32_t>, std::vector<int16_t>,
                             std::vector<std::string>>;

// An n-dimensional array. The element count equals the product of `shape` (1 for an empty
// shape, a 0-dimensional array).
struct NpyArray {
  NpyData data;
  std::vector<uint64_t> shape;
};

using NamedArray = std::pair<std::string, NpyArray>;

// Parses the bytes of an npy file. Errors: "not an npy array", "npy descr",
// "fortran-order npy not supported", "npy dtype {} not supported", "truncated npy header",
// "npy shape too large", "truncated npy data". Bytes after the elements are ignored.
std::expected<NpyArray, std::string> npy_read(std::span<const uint8_t> bytes);

// The npy 1.0 bytes of an array: little-endian, C order, elements on a 64-byte boundary.
// An element count that disagrees with the shape is a caller's bug (internal error).
std::vector<uint8_t> npy_write(const NpyArray& array);

// Every element widened to a double (exactly); a Str array gives an empty list.
std::vector<double> npy_to_f64(const NpyArray& array);

// The arrays of an npz file in archive order, named by the member names without their
// ".npy" suffixes (a name may repeat: callers take the first). The file and, apart, its
// inflated members together may hold at most `max_bytes`. Errors: the file reader's text for
// an unreadable or too large file, the zip reader's and npy_read's messages.
std::expected<std::vector<NamedArray>, std::string> read_npz(const std::filesystem::path& path,
                                                            uint64_t max_bytes = UINT64_MAX);

// The first array of that exact name in an npz's list, or nothing.
const NpyArray* npz_find(std::span<const NamedArray> arrays, std::string_view name);
// The first element of a named array as a double; NaN when missing or empty.
double npz_scalar(std::span<const NamedArray> arrays, std::string_view name);

// Writes an npz file (replacing any file of that name): one member "{name}.npy" per array, in
// order, deflated when that makes it smaller. Errors are the system's text.
std::expected<void, std::string> write_npz(const std::filesystem::path& path, std::span<const NamedArray> arrays);

}  // namespace tsl
