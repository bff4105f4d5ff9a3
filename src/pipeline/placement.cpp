#include "pipeline/placement.h"

#include <cmath>

#include "linalg/stats.h"
#include "logx.h"
#include "util/error.h"

namespace tsl {
namespace {

constexpr double DEG_TO_RAD = 0.017453292519943295;
constexpr double RAD_TO_DEG = 57.29577951308232;
// The origin lies on this raster so that local coordinates stay short and readable.
constexpr double ORIGIN_RASTER_M = 100.0;

}  // namespace

Mat3 rotation_from_angles(double yaw_deg, double pitch_deg, double roll_deg) {
  const double cy = std::cos(yaw_deg * DEG_TO_RAD), sy = std::sin(yaw_deg * DEG_TO_RAD);
  const double cp = std::cos(pitch_deg * DEG_TO_RAD), sp = std::sin(pitch_deg * DEG_TO_RAD);
  const double cr = std::cos(roll_deg * DEG_TO_RAD), sr = std::sin(roll_deg * DEG_TO_RAD);
  return {cy * cr + sr * sy * sp, sr * cy * sp - sy * cr, -sr * cp,  //
          sy * sp * cr - cy * sr, cy * sp * cr + sy * sr, -cp * cr,  //
          sy * cp,                cy * cp,                sp};
}

Placement place_images(std::vector<ImageMeta>& records) {
  if (records.empty()) internal_error("place_images needs at least one record");
  std::vector<double> lats, lons;
  for (const ImageMeta& m : records) {
    lats.push_back(m.lat);
    lons.push_back(m.lon);
  }
  Placement out;
  out.frame.zone = utm_zone(median(lons));
  out.frame.south = median(lats) < 0.0;  // a NaN median counts as north
  std::vector<UtmPoint> utm;
  double sum_e = 0.0, sum_n = 0.0;
  for (const ImageMeta& m : records) {
    utm.push_back(utm_forward(m.lat, m.lon, out.frame.zone, out.frame.south));
    sum_e += utm.back().easting;
    sum_n += utm.back().northing;
  }
  const double n = static_cast<double>(records.size());
  out.frame.origin_e = ORIGIN_RASTER_M * round_half_even(sum_e / n / ORIGIN_RASTER_M);
  out.frame.origin_n = ORIGIN_RASTER_M * round_half_even(sum_n / n / ORIGIN_RASTER_M);
  std::vector<double> heights;
  for (size_t i = 0; i < records.size(); ++i) {
    ImageMeta& m = records[i];
    m.local_e = utm[i].easting - out.frame.origin_e;
    m.local_n = utm[i].northing - out.frame.origin_n;
    m.grid_yaw = m.gimbal_yaw - utm[i].convergence * RAD_TO_DEG;
    out.rotations.push_back(rotation_from_angles(m.grid_yaw, m.gimbal_pitch, m.gimbal_roll));
    out.positions.push_back({m.local_e, m.local_n, m.rel_alt});
    heights.push_back(m.rel_alt);
  }
  logf("  UTM zone {}{} (EPSG:{}), median rel. alt {:.1} m", out.frame.zone, out.frame.south ? "S" : "N",
       utm_epsg(out.frame), median(heights));
  return out;
}

}  // namespace tsl
