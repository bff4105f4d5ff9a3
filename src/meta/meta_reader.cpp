#include "meta/meta_reader.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <string_view>
#include <system_error>

#include "img/jpeg/decode.h"
#include "img/tiff/tiff_file.h"
#include "img/tiff/tiff_tags.h"
#include "meta/dng_opcodes.h"
#include "meta/drone_xmp.h"
#include "meta/exif_tags.h"
#include "meta/file_kind.h"
#include "meta/intrinsics.h"
#include "meta/processed_detect.h"
#include "util/text.h"

namespace tsl {

namespace fs = std::filesystem;

namespace {

constexpr uint16_t TAG_XMP = 700;
constexpr uint16_t TAG_ORIGINAL_RAW_FILE_NAME = 50827;
constexpr uint16_t TAG_OPCODE_LIST_3 = 51022;

constexpr uint64_t TIFF_XMP_SEARCH_BYTES = 4 << 20;

std::string trim_nul_space(std::string s) {
  constexpr std::string_view JUNK(" \0", 2);
  const size_t first = s.find_first_not_of(JUNK);
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(JUNK) - first + 1);
}

std::string entry_bytes_as_text(const TiffEntry& e) {
  return sanitize_utf8(std::string_view(reinterpret_cast<const char*>(e.value.data()), e.value.size()));
}

// The XMP entry of a directory as text; empty when absent.
std::string xmp_entry_text(const Ifd& dir) {
  const TiffEntry* e = find_entry(dir, TAG_XMP);
  return e == nullptr ? std::string() : entry_bytes_as_text(*e);
}

// The photo facts each file kind yields before the XMP is interpreted.
struct KindResult {
  std::string xmp_text;
  ExposureTriple triple{std::nan(""), std::nan(""), std::nan("")};
};

std::expected<KindResult, std::string> read_jpeg(const fs::path& path, ImageMeta& meta) {
  auto head = read_file_head(path, JPEG_HEAD_BYTES);
  if (!head) return std::unexpected(head.error());
  auto info = probe_jpeg(*head);
  const bool soi = head->size() >= 2 && (*head)[0] == 0xFF && (*head)[1] == 0xD8;
  if (!info && soi && head->size() == JPEG_HEAD_BYTES) {
    // The frame header lies further in (a long EXIF or preview before it): only the size
    // comes from the longer head, the metadata stays in the first one.
    if (auto longer = read_file_head(path, JPEG_SIZE_SEARCH_BYTES)) info = probe_jpeg(*longer);
  }
  if (!info) return std::unexpected("cannot read JPEG size");
  meta.width = info->width;
  meta.height = info->height;

  KindResult out;
  const std::vector<uint8_t>& h = *head;
  constexpr std::string_view EXIF_ID("Exif\0\0", 6);
  for (size_t p = 2; p + 4 <= h.size() && h[p] == 0xFF && h[p + 1] != 0xD9 && h[p + 1] != 0xDA;) {
    const size_t len = (size_t{h[p + 2]} << 8) | h[p + 3];
    const size_t end = std::min(p + 2 + len, h.size());
    if (h[p + 1] == 0xE1 && p + 10 < h.size() && end > p + 10 &&
        std::string_view(reinterpret_cast<const char*>(&h[p + 4]), 6) == EXIF_ID) {
      const std::span<const uint8_t> stream(h.data() + p + 10, end - p - 10);
      if (auto tiff = parse_tiff(stream); tiff && !tiff->ifds.empty())
        out.triple = read_exif_tags(meta, tiff->ifds[0], tiff->little_endian);
    }
    p += 2 + len;
  }
  out.xmp_text = find_xmp_packet(h);
  return out;
}

std::expected<KindResult, std::string> read_tiff(const fs::path& path, ImageMeta& meta) {
  auto data = read_whole_file(path, PHOTO_FILE_LIMIT);
  if (!data) return std::unexpected(data.error());
  auto tiff = parse_tiff(*data);
  if (!tiff) return std::unexpected(tiff.error());
  if (tiff->ifds.empty()) return std::unexpected("empty TIFF");
  const Ifd& first = tiff->ifds[0];
  const bool le = tiff->little_endian;
  const auto w = find_u64(first, TAG_IMAGE_WIDTH, le);
  if (!w) return std::unexpected("no width");
  const auto h = find_u64(first, TAG_IMAGE_LENGTH, le);
  if (!h) return std::unexpected("no height");
  meta.width = *w;
  meta.height = *h;
  KindResult out;
  out.triple = read_exif_tags(meta, first, le);
  out.xmp_text = xmp_entry_text(first);
  if (out.xmp_text.empty())
    out.xmp_text = find_xmp_packet(std::span(*data).first(std::min<uint64_t>(data->size(), TIFF_XMP_SEARCH_BYTES)));
  return out;
}

bool is_raw_image_dir(const Ifd& dir, bool le) {
  return find_u64(dir, TAG_NEW_SUBFILE_TYPE, le) == 0u && find_u64(dir, TAG_IMAGE_WIDTH, le).has_value();
}

std::expected<KindResult, std::string> read_dng(const fs::path& path, ImageMeta& meta) {
  auto head = read_file_head(path, DNG_HEAD_BYTES);
  if (!head) return std::unexpected(head.error());
  auto tiff = parse_tiff(*head);
  if (!tiff) return std::unexpected(tiff.error());
  std::vector<const Ifd*> dirs = image_ifds(*tiff);
  std::vector<uint8_t> whole;
  // A head shorter than asked for is the whole file: nothing further to read.
  if (head->size() == DNG_HEAD_BYTES &&
      std::none_of(dirs.begin(), dirs.end(), [&](const Ifd* d) { return is_raw_image_dir(*d, tiff->little_endian); })) {
    // The raw image directory lies beyond the head (or nowhere): read everything.
    auto all = read_whole_file(path, PHOTO_FILE_LIMIT);
    if (!all) return std::unexpected(all.error());
    whole = std::move(*all);
    tiff = parse_tiff(whole);
    if (!tiff) return std::unexpected(tiff.error());
    dirs = image_ifds(*tiff);
  }
  const bool le = tiff->little_endian;
  uint64_t raw_w = 0, raw_h = 0;
  bool have_exif = false, have_gps = false;
  KindResult out;
  for (const Ifd* dir : dirs) {
    if (is_raw_image_dir(*dir, le)) {
      raw_w = *find_u64(*dir, TAG_IMAGE_WIDTH, le);
      raw_h = find_u64(*dir, TAG_IMAGE_LENGTH, le).value_or(0);
      if (const TiffEntry* area = find_entry(*dir, TAG_ACTIVE_AREA)) {
        const std::vector<uint64_t> a = tag_u64s(*area, le);  // top, left, bottom, right
        if (a.size() == 4 && a[2] > a[0] && a[3] > a[1]) {
          raw_h = a[2] - a[0];
          raw_w = a[3] - a[1];
        }
      }
    }
    read_camera_names(meta, *dir);
    const bool take_exif = !have_exif && dir->exif;
    const bool take_gps = !have_gps && dir->gps;
    if (take_exif || take_gps) {
      // Only some facts count, each from the first directory that has them: a DNG's GPS
      // altitude and focal-plane resolution are not used.
      ImageMeta scratch;
      const ExposureTriple triple = read_exif_tags(scratch, *dir, le);
      if (take_exif) {
        meta.focal_mm = scratch.focal_mm;
        meta.focal_35mm = scratch.focal_35mm;
        meta.time = scratch.time;
        out.triple = triple;
        have_exif = true;
      }
      if (take_gps) {
        meta.lat = scratch.lat;
        meta.lon = scratch.lon;
        have_gps = true;
      }
    }
    if (out.xmp_text.empty()) out.xmp_text = xmp_entry_text(*dir);
    if (meta.original_name.empty()) {
      if (const TiffEntry* e = find_entry(*dir, TAG_ORIGINAL_RAW_FILE_NAME))
        meta.original_name = trim_nul_space(entry_bytes_as_text(*e));
    }
    if (meta.lens_ops.empty()) {
      if (const TiffEntry* e = find_entry(*dir, TAG_OPCODE_LIST_3)) meta.lens_ops = read_opcode_list(e->value);
    }
  }
  const auto orientation = tiff->ifds.empty() ? std::nullopt : find_u64(tiff->ifds[0], TAG_ORIENTATION, le);
  // Orientations 5 to 8 turn the picture by a quarter.
  if (orientation && *orientation >= 5 && *orientation <= 8) std::swap(raw_w, raw_h);
  meta.width = raw_w;
  meta.height = raw_h;
  return out;
}

}  // namespace

std::expected<ImageMeta, std::string> read_image_meta(const fs::path& path, std::optional<double> focal_override,
                                                      ProcessedMode mode) {
  ImageMeta meta;
  meta.path = path;
  meta.is_dng = is_dng_file(path);
  const PhotoKind file_kind = photo_kind(path);
  auto kind = file_kind == PhotoKind::Dng    ? read_dng(path, meta)
              : file_kind == PhotoKind::Tiff ? read_tiff(path, meta)
                                             : read_jpeg(path, meta);
  if (!kind) return std::unexpected(kind.error());
  meta.exposure = relative_exposure(kind->triple);
  XmpAttrs attrs = scan_drone_xmp(kind->xmp_text);
  if (meta.original_name.empty()) meta.original_name = xmp_original_name(kind->xmp_text).value_or("");
  meta.processed = detect_processed(meta, kind->xmp_text, attrs, mode);
  if (meta.processed) meta.lens_ops.clear();
  apply_drone_xmp(meta, std::move(attrs));
  if (auto cam = lens_from_meta(meta, focal_override)) meta.lens = std::move(*cam);
  return meta;
}

}  // namespace tsl
