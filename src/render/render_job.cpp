#include "render/render_job.h"

#include <algorithm>
#include <cmath>

#include "util/error.h"
#include "util/text.h"

namespace tsl {

RenderJob make_render_job(const PlacedPhotos& photos, const Surface& surface, std::span<const Gain> gains,
                          const OutputGrid& grid, const RenderOptions& options, ImageCache& cache,
                          const SeamMap* seam_map) {
  RenderJob job{photos, &surface, gains, &grid, options, &cache, seam_map};
  check_render_job(job);
  return job;
}

void check_render_job(const RenderJob& job) {
  if (!job.surface || !job.grid || !job.cache) internal_error("render job without its inputs");
  const auto& [images, rotations, positions] = job.photos;
  const size_t n = images.size();
  if (rotations.size() < n || positions.size() < n || job.gains.size() < n || job.grid->windows.size() < n)
    internal_error(format("render job of {} photos with {} rotations, {} positions, {} gains, {} windows", n,
                          rotations.size(), positions.size(), job.gains.size(), job.grid->windows.size()));
  for (const ImageMeta& m : images)
    if (!m.lens) internal_error(format("photo {} has no camera model", m.path.string()));
  if (job.options.block_rows == 0 || job.options.grid_step == 0) internal_error("block_rows or grid_step of 0");
}

std::vector<double> source_load_scales(const RenderJob& job) {
  const double ground = surface_reference_height(*job.surface);
  const std::vector<double> natives = native_gsds(job.photos.images, job.photos.positions, ground);
  std::vector<double> out(natives.size());
  for (size_t i = 0; i < natives.size(); ++i) {
    // Source pixels per output pixel: an output finer than the photo needs the full size,
    // a coarser one a reduced decode (less memory and no aliasing).
    double s = 1.25 * natives[i] / job.grid->gsd;
    s = std::isnan(s) ? 1.0 : std::clamp(s, 0.02, 1.0);
    out[i] = s > 0.8 ? 1.0 : s;
  }
  return out;
}

std::expected<std::shared_ptr<const DecodedImage>, std::string> fetch_source_image(const RenderJob& job, size_t photo,
                                                                                   double scale) {
  if (photo >= job.photos.images.size()) internal_error(format("photo {} of {}", photo, job.photos.images.size()));
  const ImageMeta& meta = job.photos.images[photo];
  // The key is formed from the rounded scale so that key and decode agree on halves.
  const double rounded = std::round(scale * 100.0) / 100.0;
  return job.cache->get(format("{}|{:.2}", meta.path.string(), rounded), meta, rounded);
}

}  // namespace tsl
