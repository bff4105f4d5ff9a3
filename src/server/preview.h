#pragma once
// POST /api/preview: part of a finished result re-rendered at a chosen resolution, with a few
// render options overridden live, into an RGBA PNG. One render runs at a time, and a request
// overtaken by a newer one from the same page gives up (204).
//
// The result rendered (the scene) is this studio's last build when its report is the one
// asked for, else the report's solution rebuilt the way a reuse build does it, kept for the
// following requests.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/last_run.h"
#include "render/band_sink.h"
#include "util/json.h"

namespace tsl {

// The longest side a preview is rendered at, and the picture size it is held near.
inline constexpr uint64_t PREVIEW_MAX_PX = 4096;
inline constexpr double PREVIEW_MAX_MPIX = 16.0;
// Sequence high-water marks kept at once; the least recently used client is forgotten first.
inline constexpr size_t PREVIEW_MAX_CLIENTS = 64;

struct PreviewPicture {
  std::string png;
  JsonValue meta;  // {E0, N0, gsd, W, H, ms, seq}, the X-Preview header
};

// A picture, nothing when a newer request of the same client superseded this one, or an
// error message ("file not found: {}" for a report that cannot be read).
std::expected<std::optional<PreviewPicture>, std::string> api_preview(const JsonValue& body);

// Drops the loaded scene and the decoded-photo cache (POST /api/reset). The sequence marks
// stay.
void clear_preview_slots();

// Raises the client's high-water mark to `seq` and returns the mark. A client is the
// request's "client" text (the page sends one per page load); requests without one share a
// mark.
int64_t raise_preview_seq(const std::string& client, int64_t seq);
int64_t preview_seq_mark(const std::string& client);

// The seam map of a build's seam file, its photo names mapped to `images` by file name (an
// unknown name's cells become -1) and its corner made relative to the origin.
std::expected<SeamMap, std::string> read_seam_map(const std::filesystem::path& path, std::span<const ImageMeta> images,
                                                  double origin_e, double origin_n);

// Collects the render's bands into one picture of `width` x `height`: bands must arrive in
// order, each continuing where the previous ended, and fit; anything else is an internal
// error, never a silently partial picture.
class PreviewAssembler {
 public:
  PreviewAssembler(uint64_t width, uint64_t height);
  std::expected<void, std::string> add(uint64_t y0, const ImageF32& band, std::span<const uint8_t> mask);
  uint64_t rows() const { return rows_; }
  // RGBA bytes of the whole picture: transparent black when no band came, an internal error
  // when only some rows did.
  std::vector<uint8_t> rgba() const;

 private:
  uint64_t width_;
  uint64_t height_;
  uint64_t rows_ = 0;
  std::vector<uint8_t> rgba_;
};

}  // namespace tsl
