#include "img/tiff/tiff_directory_writer.h"

#include <algorithm>
#include <bit>

#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr uint64_t CLASSIC_LIMIT = 0xFFFFFFFF;

void put_le(std::vector<uint8_t>& out, uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

TiffTag integers(uint16_t tag, uint16_t type, size_t size, std::span<const uint64_t> values) {
  TiffTag t;
  t.tag = tag;
  t.field_type = type;
  t.count = values.size();
  for (uint64_t v : values) {
    if (size < 8 && v >> (8 * size)) internal_error(format("TIFF tag {} value {} does not fit {} bytes", tag, v, size));
    put_le(t.value, v, size);
  }
  return t;
}

}  // namespace

TiffTag tiff_shorts(uint16_t tag, std::span<const uint64_t> values) { return integers(tag, 3, 2, values); }
TiffTag tiff_longs(uint16_t tag, std::span<const uint64_t> values) { return integers(tag, 4, 4, values); }
TiffTag tiff_long8s(uint16_t tag, std::span<const uint64_t> values) { return integers(tag, 16, 8, values); }

TiffTag tiff_doubles(uint16_t tag, std::span<const double> values) {
  TiffTag t;
  t.tag = tag;
  t.field_type = 12;
  t.count = values.size();
  for (double v : values) put_le(t.value, std::bit_cast<uint64_t>(v), 8);
  return t;
}

TiffTag tiff_ascii(uint16_t tag, std::string_view text) {
  TiffTag t;
  t.tag = tag;
  t.field_type = 2;
  t.value.assign(text.begin(), text.end());
  t.value.push_back(0);
  t.count = t.value.size();
  return t;
}

std::vector<TiffTag> geotiff_tags(const GeoTiffRef& ref) {
  const double scale[] = {ref.gsd, ref.gsd, 0.0};
  const double tiepoint[] = {0.0, 0.0, 0.0, ref.east, ref.north, 0.0};
  // Version 1, revision 1.0, 3 keys: model type projected (1024 = 1), raster type pixel is
  // area (1025 = 1), projected system (3072 = EPSG code); each key is (id, location 0, count 1,
  // value).
  const uint64_t keys[] = {1,    1, 0, 3, 1024, 0, 1, 1, 1025, 0, 1, 1, 3072, 0, 1,
                           static_cast<uint16_t>(ref.epsg)};
  return {tiff_doubles(33550, scale), tiff_doubles(33922, tiepoint), tiff_shorts(34735, keys)};
}

std::expected<void, std::string> write_ifd(BufferedFile& file, std::vector<TiffTag> tags, bool bigtiff) {
  std::stable_sort(tags.begin(), tags.end(), [](const TiffTag& a, const TiffTag& b) { return a.tag < b.tag; });
  if (file.size % 2) {
    const uint8_t pad = 0;
    if (auto r = write_bytes(file, {&pad, 1}); !r) return r;
  }
  const uint64_t at = file.size;
  const size_t count_len = bigtiff ? 8 : 2, entry_len = bigtiff ? 20 : 12, cap = bigtiff ? 8 : 4;
  const size_t off_len = bigtiff ? 8 : 4;
  const uint64_t data_start = at + count_len + entry_len * tags.size() + off_len;

  std::vector<uint8_t> dir, data;
  put_le(dir, tags.size(), count_len);
  for (const TiffTag& t : tags) {
    put_le(dir, t.tag, 2);
    put_le(dir, t.field_type, 2);
    put_le(dir, bigtiff ? t.count : t.count & CLASSIC_LIMIT, bigtiff ? 8 : 4);
    if (t.value.size() <= cap) {
      dir.insert(dir.end(), t.value.begin(), t.value.end());
      dir.resize(dir.size() + cap - t.value.size(), 0);
    } else {
      put_le(dir, data_start + data.size(), off_len);
      data.insert(data.end(), t.value.begin(), t.value.end());
      if (data.size() % 2) data.push_back(0);
    }
  }
  put_le(dir, 0, off_len);
  if (!bigtiff && data_start + data.size() > CLASSIC_LIMIT)
    return std::unexpected(format("TIFF directory would end at byte {}, past the 4 GiB reach of a classic TIFF",
                                  data_start + data.size()));
  if (auto r = write_bytes(file, dir); !r) return r;
  if (auto r = write_bytes(file, data); !r) return r;
  if (auto r = flush(file); !r) return r;
  std::vector<uint8_t> pointer;
  put_le(pointer, at, off_len);
  if (auto r = write_at(file, bigtiff ? 8 : 4, pointer); !r) return r;
  return flush(file);
}

}  // namespace tsl
