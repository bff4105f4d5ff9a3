#pragma once
// The directory structure of a TIFF or BigTIFF file held whole in memory: the header, the
// chain of top-level image file directories, their SubIFDs and their Exif and GPS
// directories, and typed readers for single entries. Pixel data is not touched here.
//
// The reader is lenient: an entry whose value lies outside the file is dropped, a broken
// sub-directory is left out, and chains or nestings that never end are cut at fixed limits.
// Only a bad header or a top-level directory whose entry count lies past the end of the data
// fails the whole parse.
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tsl {

// At most this many directories in the top-level chain; a chain that loops ends here.
inline constexpr size_t TIFF_MAX_CHAIN = 64;
// Sub-directories (SubIFDs, Exif, GPS) are followed to this depth below a top-level one.
inline constexpr uint64_t TIFF_MAX_DEPTH = 3;

// One directory entry as stored.
struct TiffEntry {
  uint16_t tag = 0;
  uint16_t field_type = 0;  // TIFF field type as stored; unknown types read as 1-byte values
  uint64_t count = 0;       // value count (a classic 32-bit count widened)
  std::vector<uint8_t> value;  // count x type size bytes, still in the file's byte order
};

// One directory, owning everything below it.
struct Ifd {
  std::vector<TiffEntry> entries;  // file order, not sorted, duplicates kept
  std::vector<Ifd> sub_ifds;       // from the first SubIFDs entry (330), failed ones left out
  std::unique_ptr<Ifd> exif;       // from the first Exif pointer (34665), when it parsed
  std::unique_ptr<Ifd> gps;        // from the first GPS pointer (34853), when it parsed
};

// A parsed file. `data` borrows the caller's bytes, which must outlive the TiffFile.
struct TiffFile {
  std::vector<Ifd> ifds;  // the top-level chain in file order, at most TIFF_MAX_CHAIN
  std::span<const uint8_t> data;
  bool little_endian = true;  // "II"; false for "MM"
  bool bigtiff = false;       // version 43
};

// A directory and the offset of the next one in its chain (0 when there is none).
struct ParsedIfd {
  Ifd ifd;
  uint64_t next_offset = 0;
};

// Bytes per value of a TIFF field type; unknown types (0, 14, 15, above 18) count as 1.
uint64_t tiff_type_size(uint16_t field_type);

// Parses a whole file (or its first part). Errors: "not a TIFF" (short, bad byte-order mark,
// version other than 42/43, BigTIFF under 16 bytes) and "truncated IFD" (a top-level
// directory whose entry count does not fit in the data).
std::expected<TiffFile, std::string> parse_tiff(std::span<const uint8_t> data);

// Parses the directory at `offset` of `file` (only its data, byte order and BigTIFF flag are
// used) at nesting `depth` (0 for the top-level chain); "truncated IFD" when the entry count
// does not fit in the data.
std::expected<ParsedIfd, std::string> parse_ifd(const TiffFile& file, uint64_t offset, uint64_t depth);

// The u32 at byte `pos` in the file's byte order; the four bytes must lie inside the data
// (an internal error otherwise).
uint32_t read_u32_at(const TiffFile& file, uint64_t pos);

// Every value of an entry as an unsigned integer (count elements). Float types are converted
// with saturation: NaN and negatives give 0, values of 2^64 and above give 2^64 - 1, others
// are truncated; SSHORT and SLONG are zero-extended, SBYTE and SLONG8 sign-extended.
std::vector<uint64_t> tag_u64s(const TiffEntry& entry, bool little_endian);

// Every value of an entry as a double (count elements); rationals with a zero denominator
// give NaN, signed types keep their sign (SBYTE excepted: read unsigned).
std::vector<double> tag_f64s(const TiffEntry& entry, bool little_endian);

// The value bytes up to the first NUL as UTF-8 (invalid sequences replaced by U+FFFD),
// trimmed of Unicode white space.
std::string tag_text(const TiffEntry& entry);

// The first element of a list from tag_u64s; an empty list is an internal error.
uint64_t first_value(std::vector<uint64_t> values);

// The first entry with `tag` in file order, or nullptr.
const TiffEntry* find_entry(const Ifd& ifd, uint16_t tag);

// The first value of the first entry with `tag`; nothing when the tag is absent or holds no
// values.
std::optional<uint64_t> find_u64(const Ifd& ifd, uint16_t tag, bool little_endian);

// Appends `ifd`, then each of its sub_ifds flattened the same way (pre-order, depth first).
// Exif and GPS directories are not included.
void flatten_ifds(const Ifd& ifd, std::vector<const Ifd*>& out);

// Every image directory of the file: each top-level directory flattened in chain order.
std::vector<const Ifd*> image_ifds(const TiffFile& file);

}  // namespace tsl
