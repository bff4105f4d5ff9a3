#include "server/preview.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <list>
#include <mutex>
#include <utility>

#include "drivers/stage_options.h"
#include "img/png.h"
#include "linalg/stats.h"
#include "logx.h"
#include "meta/meta_reader.h"
#include "pipeline/collect_images.h"
#include "pipeline/reuse_report.h"
#include "render/render.h"
#include "render/render_job.h"
#include "server/body_values.h"
#include "util/error.h"
#include "util/npy.h"
#include "util/path.h"
#include "util/text.h"

namespace tsl {
namespace fs = std::filesystem;
namespace {

constexpr double DEFAULT_CACHE_GB = 3.0;
constexpr uint64_t DEFAULT_MAX_PX = 1600;
constexpr uint64_t MIN_MAX_PX = 16;
// One block row covers the whole picture, so the sink sees it in one piece.
constexpr uint64_t PREVIEW_BLOCK_ROWS = 1048576;
constexpr const char* OVERRIDES[] = {"feather", "interp", "surface", "no_gains", "grid_step"};

struct ClientMark {
  std::string client;
  int64_t seq = 0;
};

struct PreviewState {
  std::mutex mutex;
  std::list<ClientMark> marks;  // most recently used first
  std::optional<std::pair<std::string, std::shared_ptr<ImageCache>>> cache_slot;
  std::shared_ptr<const LastRun> scene_slot;
};

PreviewState& preview_state() {
  static PreviewState s;
  return s;
}

// Held from just after a request raised its mark until it returns: one render at a time.
std::mutex& render_lock() {
  static std::mutex m;
  return m;
}

// The mark entry of a client, created at 0 and moved to the front; the caller holds the lock.
int64_t& mark_of(PreviewState& s, const std::string& client) {
  auto it = std::find_if(s.marks.begin(), s.marks.end(), [&](const ClientMark& m) { return m.client == client; });
  if (it == s.marks.end()) {
    s.marks.push_front({client, 0});
    if (s.marks.size() > PREVIEW_MAX_CLIENTS) s.marks.pop_back();
  } else if (it != s.marks.begin()) {
    s.marks.splice(s.marks.begin(), s.marks, it);
  }
  return s.marks.front().seq;
}

std::string client_of(const JsonValue& body) {
  const JsonValue& c = body["client"];
  if (c.is_string()) return c.as_string();
  if (c.is_number()) return format("{}", c.as_f64());
  return {};
}

class MuteGuard {
 public:
  MuteGuard() : saved_(set_log_mute(true)) {}
  ~MuteGuard() { set_log_mute(saved_); }
  MuteGuard(const MuteGuard&) = delete;
  MuteGuard& operator=(const MuteGuard&) = delete;

 private:
  bool saved_;
};

int32_t saturate_i32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// The scene of a report file: its stored configuration, the photos found again and the
// solution laid over them, as a reuse build would render it.
std::expected<std::shared_ptr<const LastRun>, std::string> load_scene(const std::string& report_path) {
  auto bytes = read_file_head(fs::path(report_path), UINT64_MAX);
  if (!bytes) return std::unexpected(format("file not found: {}", file_name_string(report_path)));
  auto report = json_parse(sanitize_utf8(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())));
  if (!report) return std::unexpected(report.error());
  const JsonValue& stored = (*report)["config"];
  if (stored.is_null()) return std::unexpected("report has no stored configuration (older version) - rebuild once");
  Config config = Config::from_options(stored);
  config.reuse = report_path;

  std::expected<ImageSet, std::string> set;
  std::expected<ReusedSolution, std::string> solution;
  {
    MuteGuard mute;
    set = collect_images(config);
    if (!set) return std::unexpected(set.error());
    solution = load_reuse_report(fs::path(report_path), config.surface_dsm, *set);
    if (!solution) return std::unexpected(solution.error());
  }

  auto scene = std::make_shared<LastRun>();
  const JsonValue& seam_file = (*report)["seam_file"];
  std::error_code ec;
  if (seam_file.is_string() && fs::exists(fs::path(seam_file.as_string()), ec)) {
    auto seams = read_seam_map(fs::path(seam_file.as_string()), set->images, set->origin_e, set->origin_n);
    if (seams) scene->seam_map = std::move(*seams);
  }
  scene->native_gsd = median(native_gsds(set->images, solution->positions, solution->ground_z));
  scene->config = std::move(config);
  scene->report_path = report_path;
  scene->images = std::move(set->images);
  scene->rotations = std::move(solution->rotations);
  scene->positions = std::move(solution->positions);
  scene->gains = std::move(solution->gains);
  scene->surface = std::move(solution->surface);
  scene->origin = {set->origin_e, set->origin_n};
  scene->epsg = (set->south ? 32700 : 32600) + set->zone;
  return std::shared_ptr<const LastRun>(std::move(scene));
}

std::expected<std::shared_ptr<const LastRun>, std::string> find_scene(const std::string& report_path) {
  if (auto last = take_last_run(); last && last->report_path == report_path) return last;
  {
    PreviewState& s = preview_state();
    std::lock_guard lock(s.mutex);
    if (s.scene_slot && s.scene_slot->report_path == report_path) return s.scene_slot;
  }
  auto scene = load_scene(report_path);
  if (!scene) return scene;
  PreviewState& s = preview_state();
  std::lock_guard lock(s.mutex);
  s.scene_slot = *scene;
  return scene;
}

std::shared_ptr<ImageCache> cache_for(const std::string& report_path, const JsonValue& body) {
  PreviewState& s = preview_state();
  std::lock_guard lock(s.mutex);
  if (!s.cache_slot || s.cache_slot->first != report_path) {
    double gb = body_number(body["cache_gb"]).value_or(DEFAULT_CACHE_GB);
    // A NaN or infinite budget would never evict, and a negative one evicts everything.
    if (!std::isfinite(gb) || gb < 0.0) gb = DEFAULT_CACHE_GB;
    s.cache_slot.emplace(report_path, std::make_shared<ImageCache>(gb * 1e9));
  }
  return s.cache_slot->second;
}

bool seams_cover(const SeamMap& m, const OutputGrid& grid) {
  const double c = m.cell;
  const double right = grid.left_e + static_cast<double>(grid.width) * grid.gsd;
  const double bottom = grid.top_n - static_cast<double>(grid.height) * grid.gsd;
  return grid.left_e >= m.left_e - 2 * c && grid.top_n <= m.top_n + 2 * c &&
         right <= m.left_e + static_cast<double>(m.nx) * c + 2 * c &&
         bottom >= m.top_n - static_cast<double>(m.ny) * c - 2 * c;
}

}  // namespace

int64_t raise_preview_seq(const std::string& client, int64_t seq) {
  PreviewState& s = preview_state();
  std::lock_guard lock(s.mutex);
  int64_t& mark = mark_of(s, client);
  mark = std::max(mark, seq);
  return mark;
}

int64_t preview_seq_mark(const std::string& client) {
  PreviewState& s = preview_state();
  std::lock_guard lock(s.mutex);
  return mark_of(s, client);
}

void clear_preview_slots() {
  std::shared_ptr<const LastRun> scene;
  std::optional<std::pair<std::string, std::shared_ptr<ImageCache>>> cache;
  {
    PreviewState& s = preview_state();
    std::lock_guard lock(s.mutex);
    scene = std::move(s.scene_slot);
    s.scene_slot.reset();
    cache = std::move(s.cache_slot);
    s.cache_slot.reset();
  }
  // Freed here, outside the lock.
}

std::expected<SeamMap, std::string> read_seam_map(const fs::path& path, std::span<const ImageMeta> images,
                                                  double origin_e, double origin_n) {
  auto arrays = read_npz(path);
  if (!arrays) return std::unexpected(arrays.error());
  const NpyArray* label = npz_find(*arrays, "label");
  if (!label) return std::unexpected("seam label missing");
  if (label->shape.size() != 2) return std::unexpected("bad seam label");
  SeamMap map;
  map.ny = label->shape[0];
  map.nx = label->shape[1];
  std::vector<std::string> names;
  if (const NpyArray* files = npz_find(*arrays, "files"))
    if (const auto* s = std::get_if<std::vector<std::string>>(&files->data)) names = *s;
  std::vector<int32_t> index(names.size(), -1);
  for (size_t k = 0; k < names.size(); ++k) {
    for (size_t i = 0; i < images.size(); ++i) {
      if (file_name_string(images[i].path.native()) == names[k]) {
        index[k] = static_cast<int32_t>(i);
        break;
      }
    }
  }
  const std::vector<double> values = npy_to_f64(*label);
  map.labels.resize(values.size());
  for (size_t c = 0; c < values.size(); ++c) {
    const int32_t l = saturate_i32(values[c]);
    map.labels[c] = l >= 0 && static_cast<size_t>(l) < index.size() ? index[static_cast<size_t>(l)] : -1;
  }
  for (const ImageMeta& m : images) map.names.push_back(file_name_string(m.path.native()));
  map.left_e = npz_scalar(*arrays, "E0") - origin_e;
  map.top_n = npz_scalar(*arrays, "N0") - origin_n;
  map.cell = npz_scalar(*arrays, "gs");
  return map;
}

PreviewAssembler::PreviewAssembler(uint64_t width, uint64_t height) : width_(width), height_(height) {}

std::expected<void, std::string> PreviewAssembler::add(uint64_t y0, const ImageF32& band, std::span<const uint8_t> mask) {
  if (band.width != width_ || y0 != rows_ || band.height > height_ - rows_)
    internal_error(format("preview band of {}x{} at row {} does not continue a {}x{} picture at row {}", band.width,
                          band.height, y0, width_, height_, rows_));
  std::optional<PreviewBand> slot;
  PreviewContext context{ToneSettings{}, &slot};
  if (auto r = preview_band_sink(context, y0, band, mask); !r) return r;
  if (rgba_.empty()) rgba_.assign(width_ * height_ * 4, 0);
  const size_t pixels = band.width * band.height;
  uint8_t* out = rgba_.data() + rows_ * width_ * 4;
  for (size_t p = 0; p < pixels; ++p) {
    out[4 * p] = slot->rgb[3 * p];
    out[4 * p + 1] = slot->rgb[3 * p + 1];
    out[4 * p + 2] = slot->rgb[3 * p + 2];
    out[4 * p + 3] = slot->alpha[p];
  }
  rows_ += band.height;
  return {};
}

std::vector<uint8_t> PreviewAssembler::rgba() const {
  if (rows_ == 0) return std::vector<uint8_t>(width_ * height_ * 4, 0);
  if (rows_ != height_) internal_error(format("preview received {} of {} rows", rows_, height_));
  return rgba_;
}

std::expected<std::optional<PreviewPicture>, std::string> api_preview(const JsonValue& body) {
  const std::string report(body["report"].str_or(""));
  const int64_t seq = saturate_i64(body_number(body["seq"]).value_or(0.0));
  const std::string client = client_of(body);
  raise_preview_seq(client, seq);

  std::lock_guard render(render_lock());
  if (seq < preview_seq_mark(client)) return std::optional<PreviewPicture>();

  auto found = find_scene(report);
  if (!found) return std::unexpected(found.error());
  const LastRun& scene = **found;
  const std::shared_ptr<ImageCache> cache = cache_for(report, body);

  const std::vector<double> b = body["bounds"].to_f64_vec();
  if (b.size() != 4) return std::unexpected("bounds missing");
  // fmin / fmax take the other corner's coordinate where one is NaN.
  const GroundBounds bounds = {std::fmin(b[0], b[2]) - scene.origin[0], std::fmin(b[1], b[3]) - scene.origin[1],
                               std::fmax(b[0], b[2]) - scene.origin[0], std::fmax(b[1], b[3]) - scene.origin[1]};

  JsonValue overrides = JsonValue::empty_object();
  for (const char* key : OVERRIDES)
    if (body.is_object())
      for (const auto& [k, v] : body.as_object())
        if (k == key) {
          overrides.set(key, v);
          break;
        }

  const auto t0 = std::chrono::steady_clock::now();
  const std::optional<double> max_px_value = body_number(body["max_px"]);

  JsonValue options = scene.config.options;
  for (const auto& [k, v] : overrides.as_object()) options.set(k, v);
  const Config config = Config::from_options(options);
  RenderOptions preview_options = render_options(config);
  if (preview_options.contrib_thr <= 0.0) preview_options.contrib_thr = 0.001;
  preview_options.block_rows = PREVIEW_BLOCK_ROWS;
  preview_options.quiet = true;

  const double extent = std::fmax(bounds[2] - bounds[0], bounds[3] - bounds[1]);
  // The longer side is capped so that a request cannot ask for an unbounded picture.
  const uint64_t divisor =
      max_px_value ? std::clamp(saturate_u64(*max_px_value), MIN_MAX_PX, PREVIEW_MAX_PX) : DEFAULT_MAX_PX;
  const double gsd = std::fmax(extent / static_cast<double>(divisor), scene.native_gsd / 2.0);

  const PlacedPhotos photos{scene.images, scene.rotations, scene.positions};
  auto grid = plan_output_grid(photos, scene.surface, gsd, PREVIEW_MAX_MPIX, bounds, false);
  if (!grid) return std::unexpected(grid.error());

  std::vector<Gain> unit_gains;
  if (config.no_gains) unit_gains.assign(scene.images.size(), Gain{1.0, 1.0, 1.0});
  const Surface plane = Surface::plane(scene.surface.z0);
  const Surface& surface = config.surface_dsm ? scene.surface : plane;
  const SeamMap* seams = scene.seam_map && seams_cover(*scene.seam_map, *grid) ? &*scene.seam_map : nullptr;

  const std::span<const Gain> gains = config.no_gains ? unit_gains : scene.gains;
  const RenderJob job = make_render_job(photos, surface, gains, *grid, preview_options, *cache, seams);

  PreviewAssembler picture(grid->width, grid->height);
  {
    MuteGuard mute;
    auto rendered = render_mosaic(job, [&](uint64_t y0, const ImageF32& band, std::span<const uint8_t> mask) {
      return picture.add(y0, band, mask);
    });
    if (!rendered) return std::unexpected(rendered.error());
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const std::vector<uint8_t> rgba = picture.rgba();
  const std::vector<uint8_t> png = encode_png(rgba, grid->width, grid->height, 4, 1);

  PreviewPicture out;
  out.png.assign(reinterpret_cast<const char*>(png.data()), png.size());
  out.meta = JsonValue::empty_object();
  out.meta.set_f64("E0", grid->left_e + scene.origin[0]);
  out.meta.set_f64("N0", grid->top_n + scene.origin[1]);
  out.meta.set_f64("gsd", grid->gsd);
  out.meta.set_u64("W", grid->width);
  out.meta.set_u64("H", grid->height);
  out.meta.set_f64("ms", std::round(seconds * 1000.0));
  out.meta.set("seq", JsonValue(static_cast<double>(seq)));
  return std::optional<PreviewPicture>(std::move(out));
}

}  // namespace tsl
